#include "Pikora/Compressors/KPh264ImageCompressor.h"

#include "Pikora/Capture/CaptureLogging.h"
#include "Pikora/Capture/ScreenResolutionUtility.h"
#include "Pikora/Compressors/FrameConverter.h"
#include "Pikora/Compressors/H264AccessUnit.h"
#include "Pikora/Compressors/H264Encoder.h"
#include "Pikora/Compressors/LibavH264Encoder.h"
#include "Pikora/Compressors/LibavLog.h"
#include "Pikora/Compressors/RateWindow.h"

#include <QSaveFile>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <optional>

namespace {

std::mutex g_candidatesMutex;
std::vector<std::string> g_candidates = {"h264_vaapi", "h264_nvenc", "h264_qsv",
                                         KPh264ImageCompressor::kSoftwareEncoder};
KPh264ImageCompressor::EncoderFactory g_factory;

// The hardware probe, once per process: which hardware encoder opened, if any.
struct HardwareProbe
{
    std::mutex mutex;
    bool done = false;
    std::optional<std::string> encoder;
};
HardwareProbe g_probe;

bool isSoftware(const std::string& name)
{
    return name == KPh264ImageCompressor::kSoftwareEncoder;
}

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double wallMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Size of an access unit as assemble() builds it.
qint64 unitSize(const QByteArray& frame, const QByteArray& sps, const QByteArray& pps, bool key)
{
    qint64 size = frame.size();
    if (key) {
        size += sps.isEmpty() ? 0 : 4 + sps.size();
        size += pps.isEmpty() ? 0 : 4 + pps.size();
    }
    return size;
}

} // namespace

struct KPh264ImageCompressor::Impl
{
    std::unique_ptr<H264Encoder> encoder;
    H264Encoder::Config config;
    FrameConverter converter;
    H264AccessUnit::ParameterSets sets;
    std::int64_t lastPts = -1;
    // The surface the encoder's picture was converted from, to skip converting an unchanged
    // desktop again.
    const CaptureSurface* lastSurface = nullptr;
    std::uint64_t lastGeneration = 0;
    // When the picture the encoder holds last changed, and when the last key frame went out
    // (presentation times, microseconds).
    std::int64_t changedPts = 0;
    std::int64_t lastKeyPts = std::numeric_limits<std::int64_t>::min() / 2;
    // The quantiser of the last picture sent, -1 when unknown.
    int lastQuantiser = -1;
    // When the link last fell behind (presentation time), and whether the encoder runs with
    // the short rate buffer.
    std::optional<std::int64_t> linkBehindPts;
    bool slowLink = false;

    // The 10 s budget (0: no bit rate, no budget).
    qint64 capBytes = 0;
    RateWindow window;
    // An access unit was dropped: nothing more until a key frame, which is asked for.
    bool awaitingKeyFrame = false;
    // Sizes of recent units, to tell whether the next one will fit before encoding it.
    qint64 lastKeyBytes = 0;
    std::array<qint64, 8> recentDeltaBytes{};
    std::size_t nextDelta = 0;
    qint64 framesSinceKey = 0;

    mutable std::mutex statsMutex;
    Statistics stats;

    qint64 expectedBytes(bool forcedKey) const
    {
        const bool keyDue =
            forcedKey || (config.keyframeInterval > 0 && framesSinceKey + 1 >= config.keyframeInterval);
        const qint64 expected =
            keyDue ? lastKeyBytes : *std::max_element(recentDeltaBytes.begin(), recentDeltaBytes.end());
        // Never more than half the budget: a unit once too large must not stop the stream for
        // good, since the encoder may well make the next one smaller.
        return std::min(expected, capBytes / 2);
    }
    void noteUnit(qint64 bytes, bool key)
    {
        if (key) {
            lastKeyBytes = bytes;
            framesSinceKey = 0;
        } else {
            recentDeltaBytes[nextDelta] = bytes;
            nextDelta = (nextDelta + 1) % recentDeltaBytes.size();
            ++framesSinceKey;
        }
    }
    void close()
    {
        encoder.reset();
        sets = {};
        lastPts = -1;
        lastSurface = nullptr;
        changedPts = 0;
        lastKeyPts = std::numeric_limits<std::int64_t>::min() / 2;
        lastQuantiser = -1;
        linkBehindPts.reset();
        slowLink = false;
    }
};

KPh264ImageCompressor::KPh264ImageCompressor() : d(std::make_unique<Impl>())
{
    LibavLog::install();
}

KPh264ImageCompressor::~KPh264ImageCompressor()
{
    cleanup();
    std::lock_guard lock(m_lock);
    std::lock_guard encodeLock(m_encodeMutex);
    d->close();
}

void KPh264ImageCompressor::setEncoderCandidates(std::vector<std::string> names)
{
    {
        std::lock_guard lock(g_candidatesMutex);
        g_candidates = std::move(names);
    }
    resetHardwareProbe();
}

std::vector<std::string> KPh264ImageCompressor::encoderCandidates()
{
    std::lock_guard lock(g_candidatesMutex);
    return g_candidates;
}

void KPh264ImageCompressor::setEncoderFactory(EncoderFactory factory)
{
    {
        std::lock_guard lock(g_candidatesMutex);
        g_factory = std::move(factory);
    }
    resetHardwareProbe();
}

std::unique_ptr<H264Encoder> KPh264ImageCompressor::makeEncoder(const std::string& name)
{
    EncoderFactory factory;
    {
        std::lock_guard lock(g_candidatesMutex);
        factory = g_factory;
    }
    if (factory)
        if (std::unique_ptr<H264Encoder> encoder = factory(name))
            return encoder;
    return std::make_unique<LibavH264Encoder>(name);
}

void KPh264ImageCompressor::resetHardwareProbe()
{
    std::lock_guard lock(g_probe.mutex);
    g_probe.done = false;
    g_probe.encoder.reset();
}

double KPh264ImageCompressor::mach_time_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void KPh264ImageCompressor::setClock(Clock clock)
{
    std::lock_guard lock(m_encodeMutex);
    m_clock = std::move(clock);
}

bool KPh264ImageCompressor::supportHardwareAcceleration()
{
    std::lock_guard lock(g_probe.mutex);
    if (g_probe.done)
        return g_probe.encoder.has_value();
    const QSizeF screen = ScreenResolutionUtility::mainScreenResolution();
    H264Encoder::Config config;
    // Without a screen (a headless session) probe at the default output size.
    config.width = screen.width() >= 2 ? int(screen.width()) & ~1 : 1280;
    config.height = screen.height() >= 2 ? int(screen.height()) & ~1 : 720;
    config.fps = m_fps;
    for (const std::string& name : encoderCandidates()) {
        if (isSoftware(name))
            continue;
        // A machine without the device makes the probe log errors: they say nothing here.
        LibavLog::Scope quiet(/*quiet=*/true);
        if (makeEncoder(name)->open(config)) {
            g_probe.encoder = name;
            break;
        }
    }
    g_probe.done = true;
    qCInfo(lcCompress).noquote() << (g_probe.encoder ? QStringLiteral("h264: hardware encoder %1 available")
                                                           .arg(QString::fromStdString(*g_probe.encoder))
                                                     : QStringLiteral("h264: no hardware encoder"));
    return g_probe.encoder.has_value();
}

bool KPh264ImageCompressor::openEncoder(const std::string& name)
{
    std::unique_ptr<H264Encoder> encoder = makeEncoder(name);
    if (!encoder->open(d->config))
        return false;
    d->encoder = std::move(encoder);
    d->sets = d->encoder->parameterSets();
    d->lastSurface = nullptr; // the new encoder's picture holds nothing yet
    return true;
}

bool KPh264ImageCompressor::setup()
{
    std::lock_guard lock(m_lock);
    const QSizeF size = resolution();
    H264Encoder::Config config;
    // 4:2:0 needs even sizes; an odd limit loses its last row or column. The protocol allows
    // up to 16384 per side; anything else (or not a number) cannot be encoded.
    const auto side = [](double v) {
        return std::isfinite(v) && v >= 0 && v <= double(kMaxSide) ? int(std::trunc(v)) & ~1 : 0;
    };
    config.width = side(size.width());
    config.height = side(size.height());
    config.fps = m_fps;
    config.bitrate = m_bitrate;
    config.keyframeInterval = m_keyframeInterval;
    if (config.width < kMinSide || config.height < kMinSide) {
        qCWarning(lcCompress) << "h264: cannot encode at" << size;
        return false;
    }

    // A machine with a hardware encoder uses it (the one the probe found first); libx264
    // remains the last resort. Without one, the hardware encoders are not tried again.
    const std::vector<std::string> candidates = encoderCandidates();
    std::vector<std::string> order;
    if (supportHardwareAcceleration()) {
        std::optional<std::string> probed;
        {
            std::lock_guard probeLock(g_probe.mutex);
            probed = g_probe.encoder;
        }
        if (probed)
            order.push_back(*probed);
        for (const std::string& name : candidates)
            if (!isSoftware(name) && name != probed)
                order.push_back(name);
    }
    for (const std::string& name : candidates)
        if (isSoftware(name))
            order.push_back(name);

    std::lock_guard encodeLock(m_encodeMutex);
    d->close();
    d->config = config;
    d->capBytes = RateWindow::capBytes(config.bitrate);
    d->window.clear();
    d->awaitingKeyFrame = false;
    for (const std::string& name : order) {
        if (openEncoder(name)) {
            // What is encoded is what the pictures announce: the even size.
            setResolution(QSizeF(config.width, config.height));
            qCInfo(lcCompress).noquote()
                << QStringLiteral("h264: encoding %1x%2 with %3 (%4)")
                       .arg(config.width)
                       .arg(config.height)
                       .arg(d->encoder->name(), d->encoder->isHardware() ? QStringLiteral("hardware")
                                                                         : QStringLiteral("software"));
            return true;
        }
        qCDebug(lcCompress).noquote() << "h264: encoder" << QString::fromStdString(name) << "did not open";
    }
    qCWarning(lcCompress) << "h264: no encoder could be opened";
    d->close();
    return false;
}

void KPh264ImageCompressor::cleanup()
{
    std::lock_guard lock(m_lock);
    setCompletionBlock(nullptr);
}

bool KPh264ImageCompressor::slowLinkMode() const
{
    std::lock_guard lock(m_encodeMutex);
    return d->slowLink;
}

QString KPh264ImageCompressor::encoderName() const
{
    std::lock_guard lock(m_encodeMutex);
    return d->encoder ? d->encoder->name() : QString();
}

std::int64_t KPh264ImageCompressor::lastPresentationTime() const
{
    std::lock_guard lock(m_encodeMutex);
    return d->lastPts;
}

double KPh264ImageCompressor::firstFrameTime() const
{
    std::lock_guard lock(m_encodeMutex);
    return m_firstFrameTime;
}

qint64 KPh264ImageCompressor::frameCount() const
{
    std::lock_guard lock(m_encodeMutex);
    return m_frameCount;
}

KPh264ImageCompressor::Statistics KPh264ImageCompressor::statistics() const
{
    std::lock_guard lock(d->statsMutex);
    return d->stats;
}

void KPh264ImageCompressor::encoderFailed()
{
    const QString failed = d->encoder->name();
    const bool hardware = d->encoder->isHardware();
    d->close();
    {
        std::lock_guard stats(d->statsMutex);
        ++d->stats.encoderFailures;
    }
    if (!hardware) {
        qCWarning(lcCompress).noquote() << QStringLiteral("h264: %1 failed; no more pictures").arg(failed);
        return;
    }
    // The device is gone or broken: the rest of this process encodes in software.
    {
        std::lock_guard probeLock(g_probe.mutex);
        g_probe.done = true;
        g_probe.encoder.reset();
    }
    if (openEncoder(kSoftwareEncoder)) {
        qCWarning(lcCompress).noquote()
            << QStringLiteral("h264: %1 failed; encoding with %2 from the next picture")
                   .arg(failed, d->encoder->name());
        d->awaitingKeyFrame = false; // a new encoder starts with a key frame
    } else {
        qCWarning(lcCompress).noquote()
            << QStringLiteral("h264: %1 failed and %2 does not open; no more pictures")
                   .arg(failed, QString::fromLatin1(kSoftwareEncoder));
    }
}

void KPh264ImageCompressor::compressRawImage(std::shared_ptr<PixelBuffer> image, CompletionBlock completion)
{
    setCompletionBlock(std::move(completion));

    std::lock_guard lock(m_encodeMutex);
    const double now = m_clock ? m_clock() : mach_time_seconds();
    m_frameTime = now;
    if (m_firstFrameTime == 0)
        m_firstFrameTime = now;
    ++m_frameCount;
    m_lastFrameTime = now;

    if (!d->encoder || !image)
        return;
    // Microseconds since the first frame; kept strictly increasing for the encoder.
    std::int64_t pts = std::int64_t((now - m_firstFrameTime) * 1'000'000.0);
    if (pts <= d->lastPts)
        pts = d->lastPts + 1;

    // A link that fell behind gets small pictures until it has kept up for a while.
    if (m_linkBehind.exchange(false))
        d->linkBehindPts = pts;
    const bool slow = d->linkBehindPts && pts - *d->linkBehindPts < kSlowLinkHoldUs;
    if (slow != d->slowLink &&
        d->encoder->setRateBufferSeconds(slow ? kSlowLinkRateBufferSeconds
                                              : LibavH264Encoder::kRateBufferSeconds)) {
        d->slowLink = slow;
        qCInfo(lcCompress).noquote() << (slow ? QStringLiteral("h264: the link is behind; small pictures")
                                              : QStringLiteral("h264: the link keeps up; usual pictures"));
        if (slow) {
            std::lock_guard stats(d->statsMutex);
            ++d->stats.slowLinkSwitches;
        }
    }

    // The same pixels as the picture the encoder holds: once refined, the encoder rests, but
    // for a key frame now and then (a receiver that lost a picture needs one).
    const CaptureSurface* surface = image->surface();
    const bool unchanged =
        d->lastSurface && surface == d->lastSurface && surface->generation() == d->lastGeneration;
    if (!unchanged)
        d->changedPts = pts;
    bool forceKeyFrame = d->awaitingKeyFrame;
    bool stillKeyFrame = false;
    // Refined: the last picture went out fine enough (every block of it either coded at that
    // quantiser or already within its step of the source), or the refining time is up.
    const bool refined = pts - d->changedPts >= kStillRefineTimeUs ||
                         (d->lastQuantiser >= 0 && d->lastQuantiser <= kStillQuantiser);
    // Refining is not urgent (nothing moved): at most one refining picture per interval, which
    // then gets the bits of the ticks in between.
    if (unchanged && !forceKeyFrame && !refined && pts - d->lastPts < kStillRefineIntervalUs) {
        std::lock_guard stats(d->statsMutex);
        ++d->stats.framesSkippedUnchanged;
        return;
    }
    if (unchanged && !forceKeyFrame && refined) {
        if (pts - d->lastKeyPts < kStillKeyFrameIntervalUs) {
            std::lock_guard stats(d->statsMutex);
            ++d->stats.framesSkippedUnchanged;
            return;
        }
        forceKeyFrame = stillKeyFrame = true;
    }

    // A picture the 10 s budget has no room for is not encoded at all, so the encoder's
    // references stay intact and the stream goes on with the next picture that fits.
    if (d->capBytes > 0 &&
        d->window.bytesInWindowEndingAt(pts) + d->expectedBytes(forceKeyFrame) > d->capBytes) {
        std::lock_guard stats(d->statsMutex);
        ++d->stats.framesSkippedForRate;
        return;
    }
    d->lastPts = pts;

    const double cpu0 = threadCpuMs();
    const double wall0 = wallMs();
    const std::optional<H264Encoder::Picture> picture = d->encoder->picture();
    if (!picture)
        return;
    // An idle desktop hands the same surface over on every tick: its pixels are already in
    // the picture, so only the encoder runs again.
    const bool reuse = unchanged;
    if (!reuse) {
        std::uint8_t* planes[3] = {picture->planes[0], picture->planes[1], picture->planes[2]};
        const int strides[3] = {picture->strides[0], picture->strides[1], picture->strides[2]};
        // When the frame source knows what changed since the picture the encoder holds, only
        // the rows it reaches are converted again.
        const std::optional<std::vector<RowSpan>> changed =
            d->lastSurface ? surface->changedRowsSince(d->lastGeneration) : std::nullopt;
        d->lastSurface = nullptr;
        const bool updated = changed && d->converter.convertChangedRows(
                                            image->baseAddress(), image->bytesPerRow(), image->width(),
                                            image->height(), planes, strides, d->config.width,
                                            d->config.height, d->encoder->layout(), *changed);
        if (!updated &&
            !d->converter.convert(image->baseAddress(), image->bytesPerRow(), image->width(), image->height(),
                                  planes, strides, d->config.width, d->config.height, d->encoder->layout()))
            return;
        d->lastSurface = surface;
        d->lastGeneration = surface->generation();
    }
    image.reset(); // the surface can go back to the capture pool now
    const double cpu1 = threadCpuMs();
    const double wall1 = wallMs();

    std::vector<H264Encoder::Packet> packets;
    if (!d->encoder->encode(pts, forceKeyFrame, packets)) {
        encoderFailed();
        return;
    }

    std::uint64_t units = 0;
    std::uint64_t keys = 0;
    std::uint64_t bytes = 0;
    std::uint64_t dropped = 0;
    std::uint64_t quantiserSum = 0;
    std::uint64_t quantised = 0;
    for (const H264Encoder::Packet& packet : packets) {
        H264AccessUnit::Normalised unit =
            H264AccessUnit::normalisePacket(packet.data, packet.keyFrame, d->sets);
        if (unit.frame.isEmpty())
            continue;
        const qint64 size = unitSize(unit.frame, d->sets.sps, d->sets.pps, unit.isKeyFrame);
        d->noteUnit(size, unit.isKeyFrame);
        if (d->awaitingKeyFrame && !unit.isKeyFrame) {
            ++dropped; // refers to a picture the receiver never got
            continue;
        }
        if (d->capBytes > 0 && d->window.bytesInWindowEndingAt(pts) + size > d->capBytes) {
            // Larger than the room left: dropped, and the stream restarts from a key frame.
            ++dropped;
            d->awaitingKeyFrame = true;
            continue;
        }
        d->awaitingKeyFrame = false;
        if (unit.isKeyFrame)
            d->lastKeyPts = pts;
        d->lastQuantiser = packet.quantiser;
        if (packet.quantiser >= 0) {
            quantiserSum += std::uint64_t(packet.quantiser);
            ++quantised;
        }
        d->window.add(pts, size);
        ++units;
        keys += unit.isKeyFrame ? 1 : 0;
        bytes += std::uint64_t(size);
        gogo(H264AccessUnit::assemble(unit.frame, d->sets.sps, d->sets.pps, unit.isKeyFrame), unit.frame,
             d->sets.sps, d->sets.pps, unit.isKeyFrame);
    }
    const double cpu2 = threadCpuMs();
    const double wall2 = wallMs();
    std::lock_guard statsLock(d->statsMutex);
    d->stats.framesSubmitted += 1;
    d->stats.framesReused += reuse ? 1 : 0;
    d->stats.stillKeyFrames += stillKeyFrame ? 1 : 0;
    d->stats.accessUnits += units;
    d->stats.keyFrames += keys;
    d->stats.bytes += bytes;
    d->stats.quantiserSum += quantiserSum;
    d->stats.quantisedUnits += quantised;
    d->stats.unitsDroppedForRate += dropped;
    d->stats.largestWindowBytes = d->window.largestWindow();
    d->stats.convertCpuMs += cpu1 - cpu0;
    d->stats.convertWallMs += wall1 - wall0;
    d->stats.encodeCpuMs += cpu2 - cpu1;
    d->stats.encodeWallMs += wall2 - wall1;
}

void KPh264ImageCompressor::gogo(const QByteArray& unit, const QByteArray& frame, const QByteArray& sps,
                                 const QByteArray& pps, bool isKeyFrame)
{
    record(frame, sps, pps, isKeyFrame);
    if (CompletionBlock completion = completionBlock()) {
        // The size actually encoded (even, see setup()), which is what the receiver decodes.
        completion(unit, d->config.width, d->config.height);
    }
}

void KPh264ImageCompressor::setFilePath(const QString& path)
{
    std::lock_guard lock(m_recordMutex);
    m_filePath = path;
}

void KPh264ImageCompressor::setCapSize(qint64 bytes)
{
    std::lock_guard lock(m_recordMutex);
    m_capSize = bytes;
}

void KPh264ImageCompressor::setWriteFileCompletionBlock(WriteFileCompletionBlock block)
{
    std::lock_guard lock(m_recordMutex);
    m_writeFileCompletionBlock = std::move(block);
}

void KPh264ImageCompressor::record(const QByteArray& frame, const QByteArray& sps, const QByteArray& pps,
                                   bool isKeyFrame)
{
    WriteFileCompletionBlock done;
    QString path;
    {
        std::lock_guard lock(m_recordMutex);
        if (m_filePath.isEmpty() || m_capSize <= 0)
            return;
        if (isKeyFrame)
            m_recording.append(H264AccessUnit::assemble({}, sps, pps, true));
        if (m_recording.size() < m_capSize) {
            m_recording.append(frame);
            return;
        }
        path = m_filePath;
        QSaveFile file(path);
        const bool written =
            file.open(QIODevice::WriteOnly) && file.write(m_recording) == m_recording.size() && file.commit();
        if (written)
            done = std::move(m_writeFileCompletionBlock);
        else
            qCWarning(lcCompress) << "h264: cannot write the recording to" << path << file.errorString();
        m_writeFileCompletionBlock = nullptr;
        m_recording.clear();
        m_filePath.clear();
        m_capSize = 0;
    }
    if (done)
        done(path);
}
