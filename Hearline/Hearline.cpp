#include "Hearline/Hearline.h"

#include "Hearline/HearlineCaptureWorker.h"
#include "Hearline/HearlineLogging.h"
#include "Support/WavHeader.h"

#include <QCoreApplication>
#include <QFile>
#include <QMediaDevices>
#include <QSaveFile>
#include <QThread>
#include <QTimer>

namespace {

QAudioFormat fixedFormat()
{
    QAudioFormat format;
    format.setSampleRate(Hearline::kSampleRate);
    format.setChannelCount(Hearline::kChannels);
    format.setSampleFormat(QAudioFormat::Int16); // signed, native (little-endian) order, interleaved
    return format;
}

HearlineError error(const char* description)
{
    HearlineError e;
    e.localizedDescription = QString::fromLatin1(description);
    return e;
}

// The exports record the first seconds after the first buffer the process ever captures.
std::atomic<bool> g_exportsPrepared{false};

// Runs `fn` after `ms` on the main thread (or at once on this one without an application).
void afterOnMain(qint64 ms, std::function<void()> fn)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(
        app, [app, ms, fn = std::move(fn)] { QTimer::singleShot(std::chrono::milliseconds(ms), app, fn); },
        Qt::QueuedConnection);
}

} // namespace

// The export in progress; shared with the timed completions, which may outlive the capture
// object.
struct Hearline::ExportState
{
    std::mutex mutex;
    std::optional<QByteArray> pcmBufferData; // the raw PCM export
    std::unique_ptr<QFile> wavFile;          // the WAV export ("assetWriter")
    quint32 wavBytes = 0;
};

struct Hearline::CaptureGate
{
    std::mutex mutex;
    Hearline* owner = nullptr; // null once closed
};

Hearline::Hearline()
    : m_audioSettings(fixedFormat()), m_export(std::make_shared<ExportState>()),
      m_gate(std::make_shared<CaptureGate>())
{
    m_gate->owner = this;
}

Hearline::~Hearline()
{
    {
        // Waits for a period being delivered right now; none is delivered after this.
        std::lock_guard lock(m_gate->mutex);
        m_gate->owner = nullptr;
    }
    stop();
    if (!m_captureAudioQueue)
        return;
    // The worker is deleted on its own thread as that thread finishes (connected where it
    // was made), after which nothing posted to it runs: the capture stops in its destructor.
    m_captureAudioQueue->quit();
    if (!m_captureAudioQueue->wait(5000)) {
        // A capture thread stuck in the client's closure: leave it rather than crash.
        qCWarning(lcHearline) << "capture: the capture thread did not end in time; leaving it";
        (void)m_captureAudioQueue.release();
    }
}

std::optional<HearlineError> Hearline::setCaptureDevice(const std::optional<QString>& prefix)
{
    if (m_captureAudioQueue)
        return error("mCaptureSession cannot addInput"); // the device is chosen once

    qCInfo(lcHearline).noquote() << "input devices:";
    QAudioDevice choice;
    const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
    if (prefix) {
        for (const QAudioDevice& device : inputs) {
            const QString id = QString::fromUtf8(device.id());
            qCInfo(lcHearline).noquote() << QStringLiteral("%1(id:%2)").arg(device.description(), id);
            if (id.startsWith(*prefix))
                choice = device; // the last match wins
        }
    }
    if (choice.isNull())
        choice = QMediaDevices::defaultAudioInput();
    if (choice.isNull() && !inputs.isEmpty())
        choice = inputs.first(); // the server has not told which is its default yet
    qCInfo(lcHearline).noquote() << QStringLiteral("target input device:%1")
                                        .arg(choice.isNull() ? QStringLiteral("(none)")
                                                             : QStringLiteral("%1(id:%2)")
                                                                   .arg(choice.description(),
                                                                        QString::fromUtf8(choice.id())));
    if (choice.isNull())
        return error("mCaptureAudioDeviceInput init");

    std::optional<HearlineError> result;
    {
        std::lock_guard lock(m_mutex);
        m_deviceId = choice.id();
        m_deviceDescription = choice.description();
    }

    m_captureAudioQueue = std::make_unique<QThread>();
    m_captureAudioQueue->setObjectName(QStringLiteral("mCaptureAudioQueue"));
    m_output = new HearlineCaptureWorker(choice, m_audioSettings, [gate = m_gate](const QByteArray& bytes) {
        std::lock_guard lock(gate->mutex);
        if (gate->owner)
            gate->owner->captureOutput(bytes);
    });
    m_output->moveToThread(m_captureAudioQueue.get());
    QObject::connect(m_captureAudioQueue.get(), &QThread::finished, m_output, &QObject::deleteLater);
    m_captureAudioQueue->start();
    if (!choice.isFormatSupported(m_audioSettings))
        result = error("mCaptureSession cannot addOutput");
    return result;
}

void Hearline::start()
{
    if (!m_output || m_running.exchange(true))
        return;
    QMetaObject::invokeMethod(m_output, &HearlineCaptureWorker::startCapture, Qt::QueuedConnection);
}

void Hearline::stop()
{
    if (!m_output || !m_running.exchange(false))
        return;
    QMetaObject::invokeMethod(m_output, &HearlineCaptureWorker::stopCapture, Qt::QueuedConnection);
}

QByteArray Hearline::captureDeviceId() const
{
    std::lock_guard lock(m_mutex);
    return m_deviceId;
}

QString Hearline::captureDeviceDescription() const
{
    std::lock_guard lock(m_mutex);
    return m_deviceDescription;
}

void Hearline::setCaptureResultBlock(CaptureResultBlock block)
{
    std::lock_guard lock(m_mutex);
    m_captureResultBlock = std::move(block);
}

void Hearline::setExportLPCMFilePath(const QString& path)
{
    std::lock_guard lock(m_mutex);
    m_exportLPCMFilePath = path;
}

QString Hearline::exportLPCMFilePath() const
{
    std::lock_guard lock(m_mutex);
    return m_exportLPCMFilePath;
}

void Hearline::setExportWavFilePath(const QString& path)
{
    std::lock_guard lock(m_mutex);
    m_exportWavFilePath = path;
}

QString Hearline::exportWavFilePath() const
{
    std::lock_guard lock(m_mutex);
    return m_exportWavFilePath;
}

void Hearline::setExportFileRecordSeconds(qint64 seconds)
{
    std::lock_guard lock(m_mutex);
    m_exportFileRecordSeconds = seconds;
}

qint64 Hearline::exportFileRecordSeconds() const
{
    std::lock_guard lock(m_mutex);
    return m_exportFileRecordSeconds;
}

void Hearline::captureOutput(const QByteArray& bytes)
{
    if (!m_running.load())
        return; // a period captured before a stop took effect
    CaptureResultBlock block;
    {
        std::lock_guard lock(m_mutex);
        block = m_captureResultBlock;
    }
    if (block)
        block(bytes, 0);
    writeSampleFile(bytes);
}

void Hearline::writeSampleFile(const QByteArray& bytes)
{
    QString lpcmPath;
    QString wavPath;
    qint64 seconds = 0;
    {
        std::lock_guard lock(m_mutex);
        lpcmPath = m_exportLPCMFilePath;
        wavPath = m_exportWavFilePath;
        seconds = m_exportFileRecordSeconds;
    }
    const std::shared_ptr<ExportState> state = m_export;

    if (!g_exportsPrepared.exchange(true)) {
        qCInfo(lcHearline).noquote() << "Prepare to write file";
        const qint64 delayMs = std::max<qint64>(0, seconds) * 1000;
        if (!lpcmPath.isEmpty()) {
            {
                std::lock_guard lock(state->mutex);
                state->pcmBufferData = QByteArray();
            }
            afterOnMain(delayMs, [state, lpcmPath] {
                std::optional<QByteArray> data;
                {
                    std::lock_guard lock(state->mutex);
                    data.swap(state->pcmBufferData);
                }
                qCInfo(lcHearline).noquote() << "LPCM Finished writing...";
                QSaveFile file(lpcmPath);
                if (!data || !file.open(QIODevice::WriteOnly) || file.write(*data) != data->size() ||
                    !file.commit())
                    qCWarning(lcHearline).noquote()
                        << "LPCM export to" << lpcmPath << "failed:" << file.errorString();
            });
        }
        if (!wavPath.isEmpty()) {
            auto file = std::make_unique<QFile>(wavPath);
            if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                file->write(wavHeader(0, kSampleRate, kChannels)) != 44) {
                qCWarning(lcHearline).noquote() << "_assetWrite addInput error";
            } else {
                {
                    std::lock_guard lock(state->mutex);
                    state->wavFile = std::move(file);
                    state->wavBytes = 0;
                }
                afterOnMain(delayMs, [state] {
                    std::unique_ptr<QFile> wav;
                    quint32 bytes = 0;
                    {
                        std::lock_guard lock(state->mutex);
                        wav.swap(state->wavFile);
                        bytes = state->wavBytes;
                    }
                    if (!wav)
                        return;
                    qCInfo(lcHearline).noquote() << "Finished writing...checking completion status...";
                    const bool ok = wav->seek(0) &&
                                    wav->write(wavHeader(bytes, kSampleRate, kChannels)) == 44 &&
                                    wav->flush() && wav->error() == QFileDevice::NoError;
                    const QString why = wav->errorString();
                    wav->close();
                    if (ok)
                        qCInfo(lcHearline).noquote() << "AVAsset writing succeeded.";
                    else
                        qCWarning(lcHearline).noquote()
                            << QStringLiteral("AVAsset writing failed: %1").arg(why);
                });
            }
        }
    }

    std::lock_guard lock(state->mutex);
    if (state->pcmBufferData && !lpcmPath.isEmpty())
        state->pcmBufferData->append(bytes);
    if (state->wavFile && !wavPath.isEmpty() && !bytes.isEmpty()) {
        // The header's sizes are 32-bit: a WAV file stops growing below 4 GiB.
        if (quint64(state->wavBytes) + quint64(bytes.size()) <= 0xFFFFFFFFull - 36 &&
            state->wavFile->write(bytes) == bytes.size())
            state->wavBytes += quint32(bytes.size());
    }
}

bool Hearline::waitForInputDevice(const QString& prefix, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (const QAudioDevice& device : QMediaDevices::audioInputs())
            if (QString::fromUtf8(device.id()).startsWith(prefix))
                return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QThread::msleep(20);
    }
}
