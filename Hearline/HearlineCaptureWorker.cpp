#include "Hearline/HearlineCaptureWorker.h"

#include "Hearline/HearlineLogging.h"

#include <QAudioSource>

HearlineCaptureWorker::HearlineCaptureWorker(QAudioDevice device, QAudioFormat format, Deliver deliver)
    : m_device(std::move(device)), m_format(format), m_deliver(std::move(deliver))
{
}

HearlineCaptureWorker::~HearlineCaptureWorker()
{
    stopCapture();
}

void HearlineCaptureWorker::startCapture()
{
    if (m_source)
        return;
    m_source = std::make_unique<QAudioSource>(m_device, m_format);
    m_partial.clear();
    m_io = m_source->start();
    if (!m_io) {
        qCWarning(lcHearline) << "capture: the audio source did not start, error" << m_source->error();
        m_source.reset();
        return;
    }
    connect(m_io, &QIODevice::readyRead, this, &HearlineCaptureWorker::readAvailable);
    qCInfo(lcHearline).noquote() << "capture: started on" << m_device.description();
}

void HearlineCaptureWorker::stopCapture()
{
    if (!m_source)
        return;
    if (m_io)
        disconnect(m_io, nullptr, this, nullptr);
    m_source->stop();
    m_source.reset();
    m_io = nullptr;
    qCInfo(lcHearline).noquote() << "capture: stopped";
}

void HearlineCaptureWorker::readAvailable()
{
    if (!m_io)
        return;
    QByteArray bytes = m_io->readAll();
    if (bytes.isEmpty())
        return;
    const int frameBytes = m_format.bytesPerFrame();
    if (!m_partial.isEmpty()) {
        bytes.prepend(m_partial);
        m_partial.clear();
    }
    if (frameBytes > 0) {
        const qsizetype whole = bytes.size() - bytes.size() % frameBytes;
        m_partial = bytes.mid(whole);
        bytes.truncate(whole);
    }
    if (!bytes.isEmpty())
        m_deliver(bytes);
}
