#pragma once

#include "Hearline/HearlineError.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class HearlineCaptureWorker;
class QThread;

// Captures one audio input of the machine as signed 16-bit little-endian interleaved stereo
// at 44,100 Hz (4 bytes per frame, 176,400 bytes a second) and hands every captured period
// to captureResultBlock, on the capture thread "mCaptureAudioQueue", serially and in capture
// order. It can also record the first exportFileRecordSeconds seconds of the first capture
// of the process to a raw PCM file and to a WAV file.
//
//     Hearline hearline;
//     hearline.setCaptureResultBlock([](const QByteArray& pcm, qint32 status) { ... });
//     if (auto error = hearline.setCaptureDevice(QStringLiteral("com_tamsic_Vistrel"))) ...;
//     hearline.start();
//     ...
//     hearline.stop();
//
// start() and stop() never wait for the capture thread, so a client may call them while
// holding a lock that its closure takes.
class Hearline
{
public:
    using CaptureResultBlock = std::function<void(const QByteArray& bytes, qint32 status)>;

    static constexpr int kSampleRate = 44100;
    static constexpr int kChannels = 2;

    Hearline();
    ~Hearline();
    Hearline(const Hearline&) = delete;
    Hearline& operator=(const Hearline&) = delete;

    // Chooses the input whose unique identifier begins with `prefix` (the last one listed
    // wins), or the default input without a prefix or a match, and builds the capture graph.
    // Call once, before start(); the device is not changed afterwards.
    std::optional<HearlineError> setCaptureDevice(const std::optional<QString>& prefix);
    void start();
    void stop();
    bool isRunning() const { return m_running.load(); }

    // The fixed output format ("mAudioSettings").
    const QAudioFormat& audioSettings() const { return m_audioSettings; }
    // The chosen input, empty before setCaptureDevice().
    QByteArray captureDeviceId() const;
    QString captureDeviceDescription() const;

    void setCaptureResultBlock(CaptureResultBlock block);
    void setExportLPCMFilePath(const QString& path);
    QString exportLPCMFilePath() const;
    void setExportWavFilePath(const QString& path);
    QString exportWavFilePath() const;
    void setExportFileRecordSeconds(qint64 seconds);
    qint64 exportFileRecordSeconds() const;

    // Waits (at most `timeout`) until the machine lists an input whose identifier begins with
    // `prefix`; for a device that was just created on the sound server.
    static bool waitForInputDevice(const QString& prefix, std::chrono::milliseconds timeout);

    struct ExportState;
    struct CaptureGate;

private:
    // On the capture thread: one captured period.
    void captureOutput(const QByteArray& bytes);
    void writeSampleFile(const QByteArray& bytes);

    const QAudioFormat m_audioSettings;
    mutable std::mutex m_mutex;
    CaptureResultBlock m_captureResultBlock;
    QString m_exportLPCMFilePath;
    QString m_exportWavFilePath;
    qint64 m_exportFileRecordSeconds = 5;
    QByteArray m_deviceId;
    QString m_deviceDescription;

    std::atomic<bool> m_running{false};
    std::unique_ptr<QThread> m_captureAudioQueue;
    HearlineCaptureWorker* m_output = nullptr; // lives on m_captureAudioQueue
    std::shared_ptr<ExportState> m_export;
    // The capture thread reaches this object only through the gate, which the destructor
    // closes first: a capture thread that outlives it (left behind when it does not end in
    // time) finds the gate closed instead of a freed object.
    std::shared_ptr<CaptureGate> m_gate;
};
