#include "Pikora/Capture/AVSessionUtility.h"

#include "Beamline/KPDataTransmitter.h"
#include "Beamline/KPPrototypeDevice.h"
#include "Pikora/Capture/CaptureAudioPath.h"
#include "Pikora/Capture/CaptureLogging.h"
#include "Pikora/Capture/KPDesktopImageProvider.h"
#include "Pikora/Capture/QualityMapper.h"
#include "Pikora/Compressors/KPJpegImageCompressor.h"
#include "Pikora/Compressors/KPh264ImageCompressor.h"
#include "Support/BundleInfo.h"
#include "Support/DispatchQueue.h"
#include "Support/DispatchTimer.h"

#if __has_include("Beamline/KPGenericDevice.h")
#include "Beamline/KPGenericDevice.h"
#define PIKORA_HAVE_GENERIC_DEVICE 1
#endif
#if __has_include("Beamline/KPScreenDevice.h")
#include "Beamline/KPScreenDevice.h"
#define PIKORA_HAVE_SCREEN_DEVICE 1
#endif

#include <thread>
#include <utility>

namespace {
constexpr std::size_t kLatencySamples = 8192;
} // namespace

std::shared_ptr<AVSessionUtility> AVSessionUtility::sharedInstance()
{
    static const std::shared_ptr<AVSessionUtility> instance = create();
    return instance;
}

std::shared_ptr<AVSessionUtility> AVSessionUtility::create()
{
    std::shared_ptr<AVSessionUtility> session(new AVSessionUtility());
    session->registerObservers();
    return session;
}

AVSessionUtility::AVSessionUtility() = default;

void AVSessionUtility::registerObservers()
{
    NotificationCenter& center = NotificationCenter::defaultCenter();
    std::weak_ptr<AVSessionUtility> weak = weak_from_this();
    auto observe = [&](const char* name, void (AVSessionUtility::*handler)(const Notification&)) {
        m_observers.emplace_back(center,
                                 center.addObserver(name, nullptr, [weak, handler](const Notification& n) {
                                     if (auto self = weak.lock())
                                         ((*self).*handler)(n);
                                 }));
    };
    observe("stopDisplay", &AVSessionUtility::receiveStopDisplay);
    observe("pauseDisplay", &AVSessionUtility::pauseDisplay);
    observe("resumeDisplay", &AVSessionUtility::resumeDisplay);
}

AVSessionUtility::~AVSessionUtility()
{
    stopCapture();
    m_observers.clear();
    QObject::disconnect(m_screenPositionConnection);
    // The last reference may be dropped by a job on one of our own queues; a queue cannot
    // join its own thread, so let another thread finish them.
    m_layoutTimer.reset();
    const bool onOwnQueue = (m_captureQueue && m_captureQueue->isCurrent()) ||
                            (m_compressQueue && m_compressQueue->isCurrent()) ||
                            (m_sendQueue && m_sendQueue->isCurrent()) ||
                            (m_layoutQueue && m_layoutQueue->isCurrent());
    if (onOwnQueue) {
        std::thread([capture = std::move(m_captureQueue), compress = std::move(m_compressQueue),
                     send = std::move(m_sendQueue), layout = std::move(m_layoutQueue)]() mutable {
            // A paused session's capture queue is still suspended; let it drain.
            capture.reset();
            compress.reset();
            send.reset();
            layout.reset();
        }).detach();
    }
}

qint64 AVSessionUtility::outputFormatForDevice(const KPPrototypeDevice* device)
{
#ifdef PIKORA_HAVE_GENERIC_DEVICE
    if (const auto* generic = dynamic_cast<const KPGenericDevice*>(device))
        return generic->isVistrelEncodeProEnable() ? kKPCaptureOutputFormatH264 : kKPCaptureOutputFormatJPEG;
#endif
#ifdef PIKORA_HAVE_SCREEN_DEVICE
    if (const auto* screen = dynamic_cast<const KPScreenDevice*>(device))
        return screen->supportH264() ? kKPCaptureOutputFormatH264 : kKPCaptureOutputFormatJPEG;
#endif
    (void)device;
    return kKPCaptureOutputFormatJPEG;
}

qint64 AVSessionUtility::outputFormat()
{
    const std::shared_ptr<KPDataTransmitter> tx = sharedInstance()->transmitter();
    const std::shared_ptr<KPPrototypeDevice> device = tx ? tx->connectedDevice() : nullptr;
    return outputFormatForDevice(device.get());
}

QSizeF AVSessionUtility::restrictFromSize(const QSizeF& captured, const QSizeF& limit)
{
    return QualityMapper::restrictFromSize(captured, limit);
}

std::optional<CaptureOptions> AVSessionUtility::qualityMappingDictionary(const CaptureOptions& options)
{
    return QualityMapper::qualityMappingDictionary(options);
}

void AVSessionUtility::setTransmitterProvider(TransmitterProvider provider)
{
    std::lock_guard lock(m_providerMutex);
    m_transmitterProvider = std::move(provider);
}

std::shared_ptr<KPDataTransmitter> AVSessionUtility::transmitter() const
{
    TransmitterProvider provider;
    {
        std::lock_guard lock(m_providerMutex);
        provider = m_transmitterProvider;
    }
    return provider ? provider() : nullptr;
}

bool AVSessionUtility::startCapture(const AbstractCaptureDevice& device, qint64 outputFormat, qint64 quality)
{
    return startCapture(device, outputFormat, quality, QSizeF(0, 0));
}

void AVSessionUtility::setCompressorFactory(CompressorFactory factory)
{
    std::lock_guard lock(m_lock);
    m_compressorFactory = std::move(factory);
}

void AVSessionUtility::retireCompressorLocked()
{
    std::shared_ptr<KPImageCompressor> compressor = std::move(m_compressor);
    m_compressor.reset();
    if (!compressor)
        return;
    // A compressor may hold its own lock through an encode under way: its clean-up waits on
    // the compression queue, behind that encode, instead of holding up the stop. Nothing it
    // produces meanwhile is handed over (the run has ended).
    if (m_compressQueue && !m_compressQueue->isCurrent())
        m_compressQueue->async([compressor] { compressor->cleanup(); });
    else
        compressor->cleanup();
}

void AVSessionUtility::stopTimerLocked()
{
    // Ends the run: its timer, the frame waiting for the compressor, and its hand-overs (one
    // under way is waited for; later ones see the new run and do nothing).
    ++m_generation;
    m_sendGeneration.store(m_generation);
    if (m_captureSource) {
        m_captureSource->cancel();
        m_captureSource.reset();
    }
    std::optional<PendingFrame> dropped;
    {
        std::lock_guard pending(m_pendingMutex);
        dropped = std::move(m_pendingFrame);
        m_pendingFrame.reset();
    }
    waitForHandOverLocked();
}

bool AVSessionUtility::startCapture(const AbstractCaptureDevice& device, qint64 outputFormat, qint64 quality,
                                    const QSizeF& desireResolution)
{
    std::lock_guard lock(m_lock);
    turnOnAudioIfNeeded();

    // Observe the transmitter's split-screen layout exactly once, even across restarts and
    // transmitter changes.
    QObject::disconnect(m_screenPositionConnection);
    if (std::shared_ptr<KPDataTransmitter> tx = transmitter()) {
        std::weak_ptr<AVSessionUtility> weak = weak_from_this();
        KPDataTransmitter* observed = tx.get();
        m_screenPositionConnection = QObject::connect(
            observed, &KPDataTransmitter::screenPositionChanged, observed,
            [weak, observed](int, int) {
                if (auto self = weak.lock())
                    self->observeValueForKeyPath(observed);
            },
            Qt::DirectConnection);
    }

    stopTimerLocked();
    if (m_desktopImageProvider)
        m_desktopImageProvider->setActiveVideoDevice(std::nullopt);
    m_desktopImageProvider.reset();
    retireCompressorLocked();

    m_desktopImageProvider = std::make_shared<KPDesktopImageProvider>();
    m_desktopImageProvider->setVideoCaptureFPS(kFramesPerSecond);
    m_desktopImageProvider->setActiveVideoDevice(device);

    m_format = outputFormat;
    m_quality = quality;
    const bool zeroDesired = desireResolution.width() == 0 && desireResolution.height() == 0;
    m_resolution = zeroDesired ? m_deviceNativeResolution : desireResolution;

    CaptureOptions options;
    options.insert(kKPCaptureOptionDesireOutputResolution, m_resolution);
    options.insert(kKPCaptureOptionFramerate, qint64(kFramesPerSecond));
    options.insert(kKPCaptureOptionOutputFormat, m_format);
    options.insert(kKPCaptureOptionOutputQuality, m_quality);
    const std::optional<CaptureOptions> mapped = qualityMappingDictionary(options);

    if (!m_captureQueue) {
        m_captureQueue = std::make_unique<DispatchQueue>("captureQueue.desktop");
        m_compressQueue = std::make_unique<DispatchQueue>("compressQueue");
        m_sendQueue = std::make_unique<DispatchQueue>("sendQueue");
        m_layoutQueue = std::make_unique<DispatchQueue>("layoutQueue");
    }

    m_compressor = mapped ? setupImageCompressor(*mapped) : nullptr;
    if (!m_compressor) {
        // A compressor that cannot encode would only drop every frame: this is a failed start.
        qCWarning(lcCapture).noquote() << QStringLiteral("capture: cannot start: no compressor for output "
                                                         "format %1 at limit %2x%3")
                                              .arg(m_format)
                                              .arg(m_resolution.width())
                                              .arg(m_resolution.height());
        tearDownLocked();
        return false;
    }

    const std::uint64_t generation = m_generation;
    std::weak_ptr<AVSessionUtility> weak = weak_from_this();
    m_captureSource = std::make_unique<DispatchTimer>(*m_captureQueue, [weak, generation] {
        if (auto self = weak.lock())
            self->tick(generation);
    });
    m_captureSource->start(kFirstTickDelay, kTickInterval, std::chrono::nanoseconds::zero(), /*strict=*/true);
    qCInfo(lcCapture).noquote() << QStringLiteral("capture: started %1 (format %2, quality %3, limit %4x%5)")
                                       .arg(device.description())
                                       .arg(m_format)
                                       .arg(m_quality)
                                       .arg(m_resolution.width())
                                       .arg(m_resolution.height());
    return true;
}

std::shared_ptr<KPImageCompressor> AVSessionUtility::setupImageCompressor(const CaptureOptions& options)
{
    const qint64 format = options.value(kKPCaptureOptionOutputFormat).toLongLong();
    const QSizeF desired = options.value(kKPCaptureOptionDesireOutputResolution).toSizeF();
    const QSizeF captured(m_desktopImageProvider ? m_desktopImageProvider->getWidth() : 0,
                          m_desktopImageProvider ? m_desktopImageProvider->getHeight() : 0);
    const QSizeF size = restrictFromSize(captured, desired);

    std::shared_ptr<KPImageCompressor> compressor =
        m_compressorFactory ? m_compressorFactory(format) : nullptr;
    if (!compressor) {
        if (format == kKPCaptureOutputFormatH264)
            compressor = std::make_shared<KPh264ImageCompressor>();
        else if (format == kKPCaptureOutputFormatJPEG)
            compressor = std::make_shared<KPJpegImageCompressor>();
        else
            return nullptr;
    }

    if (!(size.width() == 0 && size.height() == 0))
        compressor->setResolution(size);
    if (auto* h264 = dynamic_cast<KPh264ImageCompressor*>(compressor.get())) {
        h264->setBitrate(options.value(kKPCaptureOptionH264Bitrate).toLongLong());
        h264->setKeyframeInterval(kKeyframeInterval);
        h264->setFps(options.value(kKPCaptureOptionFramerate).toInt());
    } else if (auto* jpeg = dynamic_cast<KPJpegImageCompressor*>(compressor.get())) {
        jpeg->setJpegQuality(options.value(kKPCaptureOptionJPEGQuality).toDouble());
    }
    // A compressor that cannot set up is not kept: it would produce nothing.
    if (!compressor->setup())
        return nullptr;
    return compressor;
}

void AVSessionUtility::tick(std::uint64_t generation)
{
    // Taken before anything can block: the tick-to-hand-over latency counts from here.
    const auto tickTime = std::chrono::steady_clock::now();
    std::lock_guard lock(m_lock);
    if (generation != m_generation || !m_desktopImageProvider)
        return; // a fire of a timer that was replaced or stopped
    {
        std::lock_guard stats(m_statsMutex);
        ++m_stats.ticks;
    }
    std::shared_ptr<PixelBuffer> buffer = m_desktopImageProvider->getCurrentImage();
    if (!buffer) {
        std::lock_guard stats(m_statsMutex);
        ++m_stats.ticksWithoutFrame;
        return;
    }
    if (std::shared_ptr<KPDataTransmitter> tx = transmitter()) {
        const std::optional<KPSocketStatus> status = tx->socketStatus();
        if (status && !status->readyToSendH264) {
            // The link is slower than the stream: the encoder keeps its pictures small.
            if (auto* h264 = dynamic_cast<KPh264ImageCompressor*>(m_compressor.get()))
                h264->noteLinkBehind();
            std::lock_guard stats(m_statsMutex);
            ++m_stats.framesNotReady;
            return;
        }
    }
    // The picture's own capture time when the source knows it (it grabs on its own clock),
    // so the receiver measures from the moment the screen was read.
    const auto captureTime = buffer->surface()->captureTime.value_or(tickTime);
    compressImage(std::move(buffer), tickTime, std::min(captureTime, tickTime));
}

void AVSessionUtility::compressImage(std::shared_ptr<PixelBuffer> buffer,
                                     std::chrono::steady_clock::time_point tickTime,
                                     std::chrono::steady_clock::time_point captureTime)
{
    if (!m_compressor) {
        std::lock_guard stats(m_statsMutex);
        ++m_stats.framesWithoutCompressor;
        return;
    }
    bool post = false;
    bool replaced = false;
    {
        std::lock_guard pending(m_pendingMutex);
        post = !m_pendingFrame;
        replaced = !post;
        m_pendingFrame = PendingFrame{std::move(buffer), tickTime, captureTime};
    }
    if (replaced) {
        std::lock_guard stats(m_statsMutex);
        ++m_stats.framesReplaced;
    }
    if (!post)
        return; // the job already queued takes the newer frame
    std::weak_ptr<AVSessionUtility> weakSelf = weak_from_this();
    m_compressQueue->async([weakSelf] {
        if (std::shared_ptr<AVSessionUtility> self = weakSelf.lock())
            self->compressPendingFrame();
    });
}

void AVSessionUtility::compressPendingFrame()
{
    // Picks up the frame and the run's compressor under the lock, then encodes without it.
    // The job's own reference keeps the compressor alive should a stop or restart drop it
    // meanwhile; what it then produces belongs to an ended run and is not handed over.
    std::optional<PendingFrame> frame;
    std::shared_ptr<KPImageCompressor> compressor;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(m_lock);
        {
            std::lock_guard pending(m_pendingMutex);
            frame = std::move(m_pendingFrame);
            m_pendingFrame.reset();
        }
        if (!frame || !m_compressor)
            return; // stopped or restarted meanwhile
        compressor = m_compressor;
        generation = m_generation;
    }
    {
        std::lock_guard stats(m_statsMutex);
        ++m_stats.framesCompressed;
    }
    const bool h264 = dynamic_cast<KPh264ImageCompressor*>(compressor.get()) != nullptr;
    std::weak_ptr<AVSessionUtility> weakSelf = weak_from_this();
    const auto tickTime = frame->tickTime;
    const auto captureTime = frame->captureTime;
    compressor->compressRawImage(std::move(frame->buffer), [weakSelf, h264, tickTime, captureTime,
                                                            generation](const QByteArray& data, qint64 width,
                                                                        qint64 height) {
        std::shared_ptr<AVSessionUtility> session = weakSelf.lock();
        if (!session)
            return;
        session->m_sendQueue->async([weakSelf, data, width, height, h264, tickTime, captureTime, generation] {
            if (std::shared_ptr<AVSessionUtility> s = weakSelf.lock()) {
                if (h264)
                    s->sendH264Data(data, width, height, {tickTime, captureTime}, generation);
                else
                    s->sendJpegData(data, {tickTime, captureTime}, generation);
            }
        });
    });
}

bool AVSessionUtility::beginHandOver(std::uint64_t generation)
{
    {
        std::lock_guard lock(m_handOverMutex);
        // Read under the mutex: a stop stores the new run before it looks at m_handOverBusy.
        if (generation == m_sendGeneration.load()) {
            m_handOverBusy = true;
            m_handOverThread = std::this_thread::get_id();
            return true;
        }
    }
    std::lock_guard stats(m_statsMutex);
    ++m_stats.picturesOfEndedRuns;
    return false;
}

void AVSessionUtility::endHandOver()
{
    std::lock_guard lock(m_handOverMutex);
    m_handOverBusy = false;
    m_handOverDone.notify_all();
}

void AVSessionUtility::waitForHandOverLocked()
{
    std::unique_lock lock(m_handOverMutex);
    if (m_handOverBusy && m_handOverThread == std::this_thread::get_id())
        return; // stopped from within the hand-over itself
    if (!m_handOverDone.wait_for(lock, kHandOverWait, [&] { return !m_handOverBusy; }))
        qCWarning(lcCapture) << "capture: a hand-over to the transmitter is still under way";
}

void AVSessionUtility::sendH264Data(const QByteArray& data, qint64 width, qint64 height, FrameTimes times,
                                    std::uint64_t generation)
{
    if (!beginHandOver(generation))
        return;
    const struct End
    {
        AVSessionUtility* self;
        ~End() { self->endHandOver(); }
    } end{this};
    const std::shared_ptr<KPDataTransmitter> tx = transmitter();
    if (!tx || tx->currentState() == 1) {
        std::lock_guard stats(m_statsMutex);
        ++m_stats.picturesDiscarded;
        return;
    }
    tx->sendH264Data(data, int(width), int(height), times.capture);
    recordHandOver(times, data.size());
}

void AVSessionUtility::sendJpegData(const QByteArray& data, FrameTimes times, std::uint64_t generation)
{
    if (!beginHandOver(generation))
        return;
    const struct End
    {
        AVSessionUtility* self;
        ~End() { self->endHandOver(); }
    } end{this};
    const std::shared_ptr<KPDataTransmitter> tx = transmitter();
    if (!tx || tx->currentState() == 1) {
        std::lock_guard stats(m_statsMutex);
        ++m_stats.picturesDiscarded;
        return;
    }
    tx->sendImageWithData(data, times.capture);
    recordHandOver(times, data.size());
}

void AVSessionUtility::recordHandOver(FrameTimes times, qsizetype bytes)
{
    const auto latency =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - times.tick)
            .count();
    const auto age =
        std::chrono::duration_cast<std::chrono::microseconds>(times.tick - times.capture).count();
    const std::int64_t nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count();
    std::lock_guard stats(m_statsMutex);
    ++m_stats.picturesSent;
    m_stats.bytesSent += std::uint64_t(bytes);
    m_handOverWindow.add(nowUs, bytes);
    m_stats.largestTenSecondBytes = m_handOverWindow.largestWindow();
    for (std::vector<std::uint32_t>* samples : {&m_stats.latenciesUs, &m_stats.frameAgesUs})
        if (samples->size() >= kLatencySamples)
            samples->erase(samples->begin(), samples->begin() + std::ptrdiff_t(kLatencySamples / 2));
    m_stats.latenciesUs.push_back(std::uint32_t(std::clamp<long long>(latency, 0, UINT32_MAX)));
    m_stats.frameAgesUs.push_back(std::uint32_t(std::clamp<long long>(age, 0, UINT32_MAX)));
}

void AVSessionUtility::tearDownLocked()
{
    stopTimerLocked();
    if (m_layoutTimer)
        m_layoutTimer->cancel();
    m_layoutTimerArmed = false;
    m_layoutPending = false;
    if (m_desktopImageProvider)
        m_desktopImageProvider->setActiveVideoDevice(std::nullopt);
    m_desktopImageProvider.reset();
    retireCompressorLocked();
}

void AVSessionUtility::stopCapture()
{
    std::lock_guard lock(m_lock);
    const bool wasRunning = m_desktopImageProvider != nullptr;
    setAudioOn(false);
    if (wasRunning)
        qCInfo(lcCapture) << "capture: stopped";
    tearDownLocked();
    if (m_stopCaptureCompletionBlock)
        m_stopCaptureCompletionBlock();
    m_deviceNativeResolution = QSizeF(0, 0);
}

void AVSessionUtility::registerStopCaptureBlock(StopCaptureBlock block)
{
    std::lock_guard lock(m_lock);
    m_stopCaptureCompletionBlock = std::move(block);
}

bool AVSessionUtility::isRunning() const
{
    std::lock_guard lock(m_lock);
    return m_desktopImageProvider && m_captureSource;
}

std::optional<AbstractCaptureDevice> AVSessionUtility::currentCaptureDevice() const
{
    std::lock_guard lock(m_lock);
    return m_desktopImageProvider ? m_desktopImageProvider->activeVideoDevice() : std::nullopt;
}

QSizeF AVSessionUtility::deviceNativeResolution() const
{
    std::lock_guard lock(m_lock);
    return m_deviceNativeResolution;
}

void AVSessionUtility::setDeviceNativeResolution(const QSizeF& size)
{
    std::lock_guard lock(m_lock);
    m_deviceNativeResolution = size;
}

void AVSessionUtility::receiveStopDisplay(const Notification&)
{
    stopCapture();
}

void AVSessionUtility::pauseDisplay(const Notification&)
{
    std::lock_guard lock(m_lock);
    if (!m_isDisplayPaused && m_captureQueue && isRunning()) {
        m_captureQueue->suspend();
        m_isDisplayPaused = true;
        qCInfo(lcCapture) << "capture: display paused";
    }
}

void AVSessionUtility::resumeDisplay(const Notification&)
{
    std::lock_guard lock(m_lock);
    if (m_isDisplayPaused && m_captureQueue && isRunning()) {
        m_captureQueue->resume();
        m_isDisplayPaused = false;
        qCInfo(lcCapture) << "capture: display resumed";
    }
}

bool AVSessionUtility::isDisplayPaused() const
{
    std::lock_guard lock(m_lock);
    return m_isDisplayPaused;
}

void AVSessionUtility::observeValueForKeyPath(KPDataTransmitter* object)
{
    std::lock_guard lock(m_lock);
    if (!isRunning() || !m_layoutQueue)
        return;
    const std::shared_ptr<KPDataTransmitter> tx = transmitter();
    if (!tx || tx.get() != object)
        return;
    // A receiver may flip its layout many times a second: only the layout it settles on is
    // applied, and restarts stay kMinLayoutRestartInterval apart.
    m_layoutPending = true;
    if (m_layoutTimerArmed)
        return;
    if (!m_layoutTimer) {
        std::weak_ptr<AVSessionUtility> weak = weak_from_this();
        m_layoutTimer = std::make_unique<DispatchTimer>(*m_layoutQueue, [weak] {
            if (auto self = weak.lock())
                self->applyPendingLayout();
        });
    }
    const auto now = std::chrono::steady_clock::now();
    const auto spacing = m_lastLayoutRestart + kMinLayoutRestartInterval - now;
    const auto delay = std::max<std::chrono::nanoseconds>(kLayoutSettle, spacing);
    m_layoutTimerArmed = true;
    m_layoutTimer->start(delay, std::chrono::nanoseconds::zero());
}

void AVSessionUtility::applyPendingLayout()
{
    std::lock_guard lock(m_lock);
    m_layoutTimerArmed = false;
    if (!m_layoutPending || !isRunning())
        return;
    m_layoutPending = false;
    const std::shared_ptr<KPDataTransmitter> tx = transmitter();
    const std::optional<AbstractCaptureDevice> device = m_desktopImageProvider->activeVideoDevice();
    if (!tx || !device)
        return;
    KPSplitScreenController* split = tx->splitScreenController();
    const int screenNumber = split ? split->screenNumber() : 1;
    const QSizeF desired =
        screenNumber > 1 ? QSizeF(kSplitScreenWidth, kSplitScreenHeight) : m_deviceNativeResolution;
    const QSizeF effective = desired.isNull() ? m_deviceNativeResolution : desired;
    if (effective == m_resolution)
        return; // the layout settled where it started: nothing to restart
    qCInfo(lcCapture) << "capture: receiver shows" << screenNumber << "screens, restarting with limit"
                      << desired;
    m_lastLayoutRestart = std::chrono::steady_clock::now();
    ++m_layoutRestarts;
    if (!startCapture(*device, m_format, m_quality, desired))
        qCWarning(lcCapture) << "capture: the restart for the new layout failed; capture has stopped";
}

std::uint64_t AVSessionUtility::layoutRestarts() const
{
    std::lock_guard lock(m_lock);
    return m_layoutRestarts;
}

void AVSessionUtility::setAudioPath(std::shared_ptr<CaptureAudioPath> path)
{
    std::shared_ptr<CaptureAudioPath> old;
    {
        std::lock_guard lock(m_lock);
        old = std::exchange(m_audioPath, std::move(path));
    }
    // The old path is let go outside the session lock: it waits for its capture thread, which
    // may be waiting for that lock to hand over a period.
    old.reset();
}

void AVSessionUtility::turnOnAudioIfNeeded()
{
    std::lock_guard lock(m_lock);
    if (!BundleInfo::main().boolValue(QStringLiteral("SoundEnable"), false))
        return;
    const std::shared_ptr<KPDataTransmitter> tx = transmitter();
    if (!tx || !tx->connectedDevice())
        return;
    KPSplitScreenController* split = tx->splitScreenController();
    setAudioOn(split && split->screenNumber() == 1);
}

void AVSessionUtility::setAudioOn(bool on)
{
    std::lock_guard lock(m_lock);
    if (on == m_audioOn)
        return;
    m_audioOn = on;
    if (on) {
        qCInfo(lcCapture).noquote() << "start sending audio";
        startAudioSession();
    } else {
        qCInfo(lcCapture).noquote() << "stop sending audio";
        stopAudioSession();
    }
}

bool AVSessionUtility::audioOn() const
{
    std::lock_guard lock(m_lock);
    return m_audioOn;
}

bool AVSessionUtility::isAudioCaptureRunning() const
{
    std::lock_guard lock(m_lock);
    return m_isAudioCaptureRunning;
}

std::optional<qsizetype> AVSessionUtility::pendingPcmBytes() const
{
    std::lock_guard lock(m_lock);
    return m_pcmBufferData ? std::optional<qsizetype>(m_pcmBufferData->size()) : std::nullopt;
}

void AVSessionUtility::setupAudio()
{
    if (m_audioPath && !m_audioPath->hasCaptureObject())
        m_audioPath->createCaptureObject(QString::fromLatin1(kAudioCaptureDevicePrefix)); // chosen once
    m_isAudioCaptureRunning = false;
}

void AVSessionUtility::startAudioSession()
{
    // The user's defaults are remembered before the device is prepared: a sound server may
    // make a device it has just created the default on its own.
    const QString device = QString::fromLatin1(AUDIO_DEVICE_NAME);
    if (m_audioPath) {
        m_audioPath->setupAudioComponents();
        m_audioPath->prepareAudioDevice(device, QString::fromLatin1(kAudioCaptureDevicePrefix));
    }
    setupAudio();
    if (m_audioPath)
        m_audioPath->setAudioComponentsTo(device);
    m_pcmBufferData = QByteArray();
    if (!m_isAudioCaptureRunning && m_audioPath) {
        m_isAudioCaptureRunning = true;
        std::weak_ptr<AVSessionUtility> weak = weak_from_this();
        m_audioPath->setCaptureResultBlock([weak](const QByteArray& bytes, qint32 status) {
            if (auto self = weak.lock())
                self->audioCaptured(bytes, status);
        });
        m_audioPath->startCapture();
    }
}

void AVSessionUtility::stopAudioSession()
{
    {
        std::lock_guard stats(m_statsMutex);
        qCInfo(lcCapture).noquote() << QStringLiteral(
                                           "audio: %1 bytes of sound sent in %2 hand-overs, %3 dropped")
                                           .arg(m_stats.pcmBytesSent)
                                           .arg(m_stats.pcmSends)
                                           .arg(m_stats.pcmBytesDropped);
    }
    if (m_audioPath)
        m_audioPath->restoreAudioComponents();
    m_pcmBufferData.reset();
    if (m_isAudioCaptureRunning) {
        if (m_audioPath)
            m_audioPath->stopCapture();
        m_isAudioCaptureRunning = false;
    }
    if (m_audioPath)
        m_audioPath->releaseAudioDevice();
}

void AVSessionUtility::audioCaptured(const QByteArray& bytes, qint32 status)
{
    if (status != 0)
        return;
    std::lock_guard lock(m_lock);
    if (!m_pcmBufferData)
        return; // captured just before audio was switched off
    m_pcmBufferData->append(bytes);
    {
        std::lock_guard stats(m_statsMutex);
        ++m_stats.pcmBuffersCaptured;
    }
    const std::shared_ptr<KPDataTransmitter> tx = transmitter();
    const std::optional<KPSocketStatus> socketStatus = tx ? tx->socketStatus() : std::nullopt;
    if (socketStatus && !socketStatus->readyToSendPCMData) {
        if (m_pcmBufferData->size() >= kMaxPendingPcmBytes) {
            std::lock_guard stats(m_statsMutex);
            m_stats.pcmBytesDropped += std::uint64_t(m_pcmBufferData->size());
            m_pcmBufferData = QByteArray();
        }
        return;
    }
    if (m_pcmBufferData->isEmpty())
        return;
    const QByteArray pcm = std::exchange(*m_pcmBufferData, QByteArray());
    if (tx)
        tx->sendPCMData(pcm);
    std::lock_guard stats(m_statsMutex);
    if (!tx) {
        m_stats.pcmBytesDropped += std::uint64_t(pcm.size());
        return;
    }
    ++m_stats.pcmSends;
    m_stats.pcmBytesSent += std::uint64_t(pcm.size());
}

qint64 AVSessionUtility::format() const
{
    std::lock_guard lock(m_lock);
    return m_format;
}

qint64 AVSessionUtility::quality() const
{
    std::lock_guard lock(m_lock);
    return m_quality;
}

QSizeF AVSessionUtility::resolution() const
{
    std::lock_guard lock(m_lock);
    return m_resolution;
}

std::shared_ptr<KPImageCompressor> AVSessionUtility::compressor() const
{
    std::lock_guard lock(m_lock);
    return m_compressor;
}

std::shared_ptr<KPDesktopImageProvider> AVSessionUtility::desktopImageProvider() const
{
    std::lock_guard lock(m_lock);
    return m_desktopImageProvider;
}

AVSessionUtility::Statistics AVSessionUtility::statistics() const
{
    std::lock_guard lock(m_statsMutex);
    return m_stats;
}

void AVSessionUtility::resetStatistics()
{
    std::lock_guard lock(m_statsMutex);
    m_stats = Statistics();
    m_handOverWindow.clear();
}
