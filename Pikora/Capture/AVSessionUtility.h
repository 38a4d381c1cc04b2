#pragma once

#include "Pikora/Capture/AbstractCaptureDevice.h"
#include "Pikora/Capture/CaptureOptions.h"
#include "Pikora/Compressors/RateWindow.h"
#include "Support/NotificationCenter.h"

#include <QMetaObject>
#include <QSizeF>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class CaptureAudioPath;
class DispatchQueue;
class DispatchTimer;
class KPDataTransmitter;
class KPDesktopImageProvider;
class KPImageCompressor;
class KPPrototypeDevice;
class PixelBuffer;

// The capture session: while running it takes the newest desktop frame every 50 ms on
// "captureQueue.desktop", compresses it on "compressQueue" (H.264 or JPEG) and hands the
// result to the transmitter on "sendQueue". It restarts itself when the receiver switches
// between full and split screen, and obeys the "stopDisplay", "pauseDisplay" and
// "resumeDisplay" notifications. Layout changes are coalesced: the last one wins after
// kLayoutSettle, and layout restarts are at least kMinLayoutRestartInterval apart.
//
// Typical use (projection control, main thread):
//     auto session = AVSessionUtility::sharedInstance();
//     session->setTransmitterProvider([] { return KPDeviceController::sharedDeviceController().transmitter();
//     }); session->setDeviceNativeResolution(maxSize);
//     session->startCapture(AbstractCaptureDevice::mainDisplay(KPDesktopImageProvider::mainDisplayID()),
//                           AVSessionUtility::outputFormat(), 3);
//     ...
//     session->stopCapture();
class AVSessionUtility : public std::enable_shared_from_this<AVSessionUtility>
{
public:
    using TransmitterProvider = std::function<std::shared_ptr<KPDataTransmitter>()>;
    using StopCaptureBlock = std::function<void()>;
    // Builds the compressor for an output format (tests); none: the session's own choice.
    using CompressorFactory = std::function<std::shared_ptr<KPImageCompressor>(qint64 format)>;

    static constexpr double kFramesPerSecond = 20.0;
    static constexpr std::chrono::milliseconds kTickInterval{50};
    static constexpr std::chrono::milliseconds kFirstTickDelay{100};
    static constexpr qint64 kKeyframeInterval = 15;
    static constexpr double kSplitScreenWidth = 800;
    static constexpr double kSplitScreenHeight = 600;
    static constexpr std::chrono::milliseconds kLayoutSettle{250};
    static constexpr std::chrono::milliseconds kMinLayoutRestartInterval{1000};
    // How long a stop or restart waits for a hand-over to the transmitter that is under way.
    static constexpr std::chrono::milliseconds kHandOverWait{2000};

    // The process's session, created on first use.
    static std::shared_ptr<AVSessionUtility> sharedInstance();
    // An independent session (tests, tools); it observes the notifications like the shared one.
    static std::shared_ptr<AVSessionUtility> create();
    ~AVSessionUtility();

    // 2 (H.264) when the shared session's transmitter is connected to a receiver that
    // decodes H.264, else 1 (JPEG).
    static qint64 outputFormat();
    static qint64 outputFormatForDevice(const KPPrototypeDevice* device);

    static QSizeF restrictFromSize(const QSizeF& captured, const QSizeF& limit);
    static std::optional<CaptureOptions> qualityMappingDictionary(const CaptureOptions& options);

    // Where the transmitter comes from (the device controller's current transmitter).
    void setTransmitterProvider(TransmitterProvider provider);
    void setCompressorFactory(CompressorFactory factory);
    std::shared_ptr<KPDataTransmitter> transmitter() const;

    // (Re)starts capture; a zero desired size means deviceNativeResolution. Returns false, and
    // leaves the session stopped, when no compressor could be set up for the format and size
    // (an unknown format, a size the encoder cannot take, no encoder at all).
    bool startCapture(const AbstractCaptureDevice& device, qint64 outputFormat, qint64 quality);
    bool startCapture(const AbstractCaptureDevice& device, qint64 outputFormat, qint64 quality,
                      const QSizeF& desireResolution);
    // Stops capture and audio; safe when not running. Calls the registered stop closure.
    void stopCapture();
    void registerStopCaptureBlock(StopCaptureBlock block);

    bool isRunning() const;
    std::optional<AbstractCaptureDevice> currentCaptureDevice() const;
    QSizeF deviceNativeResolution() const;
    void setDeviceNativeResolution(const QSizeF& size);

    // Notification observers.
    void receiveStopDisplay(const Notification& notification);
    void pauseDisplay(const Notification& notification);
    void resumeDisplay(const Notification& notification);
    bool isDisplayPaused() const;

    // The transmitter reported a new split-screen layout ("screenPosition"). The restart it
    // calls for happens on the session's layout queue once the layout has settled.
    void observeValueForKeyPath(KPDataTransmitter* object);
    // How many restarts layout changes have caused.
    std::uint64_t layoutRestarts() const;

    // Audio forwarding. While the receiver shows this sender alone and "SoundEnable" is on,
    // the default input and output are switched to the AUDIO_DEVICE_NAME device, its sound is
    // captured and the PCM is handed to the transmitter as it arrives. While the transmitter
    // is not ready, captured bytes wait up to kMaxPendingPcmBytes (125 ms of sound); past that
    // they are all dropped, so stale sound is never sent late.
    static constexpr const char* AUDIO_DEVICE_NAME = "Sonvex";
    static constexpr const char* kAudioCaptureDevicePrefix = "com_tamsic_Vistrel";
    static constexpr qsizetype kMaxPendingPcmBytes = 22050;

    // The platform side (devices and capture); without one, audio on/off is only recorded.
    void setAudioPath(std::shared_ptr<CaptureAudioPath> path);
    void turnOnAudioIfNeeded();
    void setAudioOn(bool on);
    bool audioOn() const;
    bool isAudioCaptureRunning() const;
    // Bytes captured and not yet sent; nothing while audio is off.
    std::optional<qsizetype> pendingPcmBytes() const;
    // The session lock (the audio path appends captured sound under it).
    std::recursive_mutex& sessionLock() const { return m_lock; }

    // The current run, for projection control, diagnostics and tests.
    qint64 format() const;
    qint64 quality() const;
    QSizeF resolution() const;
    std::shared_ptr<KPImageCompressor> compressor() const;
    std::shared_ptr<KPDesktopImageProvider> desktopImageProvider() const;

    struct Statistics
    {
        std::uint64_t ticks = 0;
        std::uint64_t ticksWithoutFrame = 0; // nothing captured yet
        std::uint64_t framesNotReady = 0;    // dropped: transmitter not ready
        std::uint64_t framesWithoutCompressor = 0;
        std::uint64_t framesCompressed = 0;    // handed to the compressor
        std::uint64_t framesReplaced = 0;      // dropped: a newer frame took its place in the wait
        std::uint64_t picturesSent = 0;        // handed to the transmitter
        std::uint64_t picturesDiscarded = 0;   // transmitter in state 1
        std::uint64_t picturesOfEndedRuns = 0; // finished after their run was stopped or restarted
        std::uint64_t bytesSent = 0;
        // Most bytes handed over in any 10 s (steady clock), since the statistics were reset.
        std::int64_t largestTenSecondBytes = 0;
        std::uint64_t pcmBuffersCaptured = 0;
        std::uint64_t pcmSends = 0; // hand-overs of PCM to the transmitter
        std::uint64_t pcmBytesSent = 0;
        std::uint64_t pcmBytesDropped = 0; // over the bound while not ready, or no transmitter
        // Tick to hand-over, microseconds, of the latest pictures (bounded).
        std::vector<std::uint32_t> latenciesUs;
        // How old each handed-over picture's frame already was at its tick (the frame source
        // grabs on its own clock), microseconds, in the same order as latenciesUs.
        std::vector<std::uint32_t> frameAgesUs;
    };
    Statistics statistics() const;
    void resetStatistics();

private:
    AVSessionUtility();
    void registerObservers();
    void tick(std::uint64_t generation);
    // When a picture's tick fired, and when its frame was read from the screen (never later).
    struct FrameTimes
    {
        std::chrono::steady_clock::time_point tick;
        std::chrono::steady_clock::time_point capture;
    };
    void compressImage(std::shared_ptr<PixelBuffer> buffer, std::chrono::steady_clock::time_point tickTime,
                       std::chrono::steady_clock::time_point captureTime);
    void compressPendingFrame();
    std::shared_ptr<KPImageCompressor> setupImageCompressor(const CaptureOptions& options);
    void sendH264Data(const QByteArray& data, qint64 width, qint64 height, FrameTimes times,
                      std::uint64_t generation);
    void sendJpegData(const QByteArray& data, FrameTimes times, std::uint64_t generation);
    // A hand-over of a picture of run `generation`: begin() is false (and counts the
    // picture) when that run has ended; every true begin() is matched by an end().
    bool beginHandOver(std::uint64_t generation);
    void endHandOver();
    void waitForHandOverLocked();
    void recordHandOver(FrameTimes times, qsizetype bytes);
    void stopTimerLocked();
    void retireCompressorLocked();
    void setupAudio();
    void startAudioSession();
    void stopAudioSession();
    void audioCaptured(const QByteArray& bytes, qint32 status);
    void tearDownLocked();
    void applyPendingLayout();

    mutable std::recursive_mutex m_lock;

    // Created on the first start and kept; the timer is destroyed before them.
    std::unique_ptr<DispatchQueue> m_captureQueue;
    std::unique_ptr<DispatchQueue> m_compressQueue;
    std::unique_ptr<DispatchQueue> m_sendQueue;
    std::unique_ptr<DispatchQueue> m_layoutQueue;

    std::shared_ptr<KPDesktopImageProvider> m_desktopImageProvider;
    std::shared_ptr<KPImageCompressor> m_compressor;
    std::unique_ptr<DispatchTimer> m_captureSource;
    // The run: every start and stop begins a new one. Pictures of an ended run are not
    // handed over.
    std::uint64_t m_generation = 0;
    std::atomic<std::uint64_t> m_sendGeneration{0};
    // Marks the hand-over under way (one at a time: the send queue is serial). A stop waits
    // for it, so none of its run is still under way when the stop returns; a stop from
    // within a hand-over (the transmitter's own thread of events) does not wait for itself.
    std::mutex m_handOverMutex;
    std::condition_variable m_handOverDone;
    bool m_handOverBusy = false;
    std::thread::id m_handOverThread;
    CompressorFactory m_compressorFactory;

    // The lock is held only to pick up work, never while encoding: start, stop, pause and
    // layout changes never wait for an encode. One frame at most waits for the compressor
    // (the newest: a tick that finds one waiting takes its place), so a slow encoder slows
    // the picture rate instead of queueing frames.
    struct PendingFrame
    {
        std::shared_ptr<PixelBuffer> buffer;
        std::chrono::steady_clock::time_point tickTime;
        std::chrono::steady_clock::time_point captureTime;
    };
    std::mutex m_pendingMutex;
    std::optional<PendingFrame> m_pendingFrame;
    // Layout changes waiting for their settle time.
    std::unique_ptr<DispatchTimer> m_layoutTimer;
    bool m_layoutPending = false;
    bool m_layoutTimerArmed = false;
    std::chrono::steady_clock::time_point m_lastLayoutRestart{};
    std::uint64_t m_layoutRestarts = 0;

    qint64 m_format = 0;
    qint64 m_quality = 0;
    QSizeF m_resolution;
    QSizeF m_deviceNativeResolution;
    StopCaptureBlock m_stopCaptureCompletionBlock;
    bool m_isDisplayPaused = false;

    mutable std::mutex m_providerMutex;
    TransmitterProvider m_transmitterProvider;
    QMetaObject::Connection m_screenPositionConnection;

    std::shared_ptr<CaptureAudioPath> m_audioPath;
    bool m_audioOn = false;
    bool m_isAudioCaptureRunning = false;
    std::optional<QByteArray> m_pcmBufferData;

    std::vector<NotificationObserver> m_observers;

    mutable std::mutex m_statsMutex;
    Statistics m_stats;
    RateWindow m_handOverWindow;
};
