#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QByteArray>
#include <QObject>
#include <functional>
#include <memory>

class QAudioSource;
class QIODevice;

// Lives on the capture thread ("mCaptureAudioQueue") and owns the audio source there: Qt's
// audio sources are driven by their thread's event loop. Every captured period is handed to
// `deliver` on that thread, in capture order, as whole sample frames.
class HearlineCaptureWorker : public QObject
{
    Q_OBJECT
public:
    using Deliver = std::function<void(const QByteArray& bytes)>;

    HearlineCaptureWorker(QAudioDevice device, QAudioFormat format, Deliver deliver);
    ~HearlineCaptureWorker() override;

    // On the capture thread.
    void startCapture();
    void stopCapture();

private:
    void readAvailable();

    QAudioDevice m_device;
    QAudioFormat m_format;
    Deliver m_deliver;
    std::unique_ptr<QAudioSource> m_source;
    QIODevice* m_io = nullptr;
    QByteArray m_partial; // bytes of an incomplete sample frame, kept for the next read
};
