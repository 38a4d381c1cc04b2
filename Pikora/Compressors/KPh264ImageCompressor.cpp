#include "Pikora/Compressors/KPh264ImageCompressor.h"

#include "Pikora/Capture/CaptureLogging.h"
#include "Pikora/Capture/ScreenResolutionUtility.h"
#include "Pikora/Compressors/FrameConverter.h"
#include "Pikora/Compressors/H264AccessUnit.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <QSaveFile>
#include <chrono>
#include <climits>
#include <cmath>
#include <ctime>

namespace {

std::mutex g_candidatesMutex;
std::vector<std::string> g_candidates = {"h264_vaapi", "h264_nvenc", "h264_qsv", "libx264"};

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

void quietLibav()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // libx264 and the hardware probes log at info level on every open.
        if (av_log_get_level() >= AV_LOG_INFO)
            av_log_set_level(AV_LOG_ERROR);
    });
}

struct CodecContextDeleter
{
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter
{
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter
{
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct BufferRefDeleter
{
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};

using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using BufferRef = std::unique_ptr<AVBufferRef, BufferRefDeleter>;

struct EncoderConfig
{
    int width = 0;
    int height = 0;
    int fps = 24;
    qint64 bitrate = 0;
    qint64 keyframeInterval = 0;
};

} // namespace

struct KPh264ImageCompressor::Impl
{
    CodecContext ctx;
    BufferRef hwDevice;
    BufferRef hwFrames;
    Frame frame;   // software frame the converter writes into
    Frame hwFrame; // upload target for VA-API
    Packet packet;
    FrameConverter converter;
    FrameConverter::Layout layout = FrameConverter::Layout::I420;
    H264AccessUnit::ParameterSets sets;
    QString name;
    bool hardware = false;
    std::int64_t lastPts = -1;
    // The surface `frame` was converted from, to skip converting an unchanged desktop again.
    const CaptureSurface* lastSurface = nullptr;
    std::uint64_t lastGeneration = 0;

    mutable std::mutex statsMutex;
    Statistics stats;

    // Opens `codecName` with the real-time settings; false when it does not open.
    bool open(const std::string& codecName, const EncoderConfig& config);
    void close();
};

void KPh264ImageCompressor::Impl::close()
{
    ctx.reset();
    hwFrames.reset();
    hwDevice.reset();
    frame.reset();
    hwFrame.reset();
    packet.reset();
    sets = {};
    name.clear();
    hardware = false;
    lastPts = -1;
    lastSurface = nullptr;
}

bool KPh264ImageCompressor::Impl::open(const std::string& codecName, const EncoderConfig& config)
{
    close();
    const AVCodec* codec = avcodec_find_encoder_by_name(codecName.c_str());
    if (!codec)
        return false;
    const bool vaapi = codecName == "h264_vaapi";
    const bool software = codecName == "libx264";
    AVPixelFormat swFormat = (vaapi || codecName == "h264_qsv") ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;

    if (vaapi) {
        AVBufferRef* device = nullptr;
        if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) < 0)
            return false;
        hwDevice.reset(device);
        hwFrames.reset(av_hwframe_ctx_alloc(hwDevice.get()));
        if (!hwFrames)
            return false;
        auto* frames = reinterpret_cast<AVHWFramesContext*>(hwFrames->data);
        frames->format = AV_PIX_FMT_VAAPI;
        frames->sw_format = swFormat;
        frames->width = config.width;
        frames->height = config.height;
        frames->initial_pool_size = 4;
        if (av_hwframe_ctx_init(hwFrames.get()) < 0)
            return false;
    }

    // Opens with or without the data-rate cap; the cap is dropped (and reported) only when
    // the encoder refuses it.
    auto attempt = [&](bool withLimits) -> bool {
        ctx.reset(avcodec_alloc_context3(codec));
        if (!ctx)
            return false;
        AVCodecContext* c = ctx.get();
        c->width = config.width;
        c->height = config.height;
        c->time_base = AVRational{1, 1'000'000}; // presentation times in microseconds
        c->framerate = AVRational{std::max(1, config.fps), 1};
        c->pix_fmt = vaapi ? AV_PIX_FMT_VAAPI : swFormat;
        c->max_b_frames = 0; // output in submission order
        c->gop_size =
            config.keyframeInterval > 0 ? int(std::min<qint64>(config.keyframeInterval, INT_MAX)) : -1;
        c->profile = FF_PROFILE_H264_MAIN;
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_LOW_DELAY;
        c->colorspace = AVCOL_SPC_SMPTE170M;
        c->color_range = AVCOL_RANGE_MPEG;
        if (vaapi)
            c->hw_frames_ctx = av_buffer_ref(hwFrames.get());
        if (config.bitrate > 0) {
            c->bit_rate = config.bitrate;
            if (withLimits) {
                // The cap: bitrate x 10 / 8 bytes in any 10 seconds.
                const qint64 bytesPer10s = config.bitrate * 10 / 8;
                c->rc_max_rate = bytesPer10s * 8 / 10;
                c->rc_buffer_size = int(bytesPer10s * 8);
                // Start nearly empty (one second's worth) rather than libavcodec's 3/4 full,
                // so the first seconds of a run cannot burst far beyond the limit.
                c->rc_initial_buffer_occupancy = c->rc_buffer_size / 10;
            }
        }
        if (software) {
            av_opt_set(c->priv_data, "preset", "ultrafast", 0);
            av_opt_set(c->priv_data, "tune", "zerolatency", 0);
            av_opt_set(c->priv_data, "profile", "main", 0);
            // "profile" only caps the profile: ultrafast turns CABAC off and would signal
            // Constrained Baseline. CABAC makes it Main and saves about a tenth of the bits.
            av_opt_set(c->priv_data, "coder", "cabac", 0);
        } else if (codecName == "h264_nvenc") {
            av_opt_set(c->priv_data, "preset", "p1", 0);
            av_opt_set(c->priv_data, "tune", "ull", 0);
            av_opt_set(c->priv_data, "zerolatency", "1", 0);
            av_opt_set(c->priv_data, "delay", "0", 0);
            av_opt_set(c->priv_data, "profile", "main", 0);
        } else if (codecName == "h264_qsv") {
            av_opt_set(c->priv_data, "preset", "veryfast", 0);
            av_opt_set(c->priv_data, "async_depth", "1", 0);
            av_opt_set(c->priv_data, "look_ahead", "0", 0);
        }
        return avcodec_open2(c, codec, nullptr) >= 0;
    };

    bool limitsFit = true;
    if (config.bitrate > 0 && config.bitrate * 10 / 8 > INT_MAX / 8)
        limitsFit = false; // the buffer size would not fit the encoder's field
    bool opened = limitsFit && attempt(true);
    if (!opened && config.bitrate > 0) {
        if (attempt(false)) {
            qCWarning(lcCompress).noquote() << "FAILED TO SET DATALIMITS";
            opened = true;
        }
    } else if (!opened) {
        opened = attempt(false);
    }
    if (!opened) {
        ctx.reset();
        return false;
    }

    frame.reset(av_frame_alloc());
    packet.reset(av_packet_alloc());
    if (!frame || !packet)
        return false;
    frame->format = swFormat;
    frame->width = config.width;
    frame->height = config.height;
    if (av_frame_get_buffer(frame.get(), 64) < 0)
        return false;
    if (vaapi)
        hwFrame.reset(av_frame_alloc());
    layout = swFormat == AV_PIX_FMT_NV12 ? FrameConverter::Layout::NV12 : FrameConverter::Layout::I420;
    sets = H264AccessUnit::parseExtradata(
        QByteArrayView(reinterpret_cast<const char*>(ctx->extradata), ctx->extradata_size));
    name = QString::fromStdString(codecName);
    hardware = !software;
    return true;
}

KPh264ImageCompressor::KPh264ImageCompressor() : d(std::make_unique<Impl>())
{
    quietLibav();
}

KPh264ImageCompressor::~KPh264ImageCompressor()
{
    cleanup();
    std::lock_guard lock(m_lock);
    d->close();
}

void KPh264ImageCompressor::setEncoderCandidates(std::vector<std::string> names)
{
    std::lock_guard lock(g_candidatesMutex);
    g_candidates = std::move(names);
}

std::vector<std::string> KPh264ImageCompressor::encoderCandidates()
{
    std::lock_guard lock(g_candidatesMutex);
    return g_candidates;
}

double KPh264ImageCompressor::mach_time_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool KPh264ImageCompressor::supportHardwareAcceleration()
{
    const QSizeF screen = ScreenResolutionUtility::mainScreenResolution();
    EncoderConfig config;
    config.width = std::max(2, int(screen.width()) & ~1);
    config.height = std::max(2, int(screen.height()) & ~1);
    config.fps = m_fps;
    Impl probe;
    for (const std::string& name : encoderCandidates()) {
        if (name == "libx264")
            continue;
        if (probe.open(name, config)) {
            probe.close();
            return true;
        }
    }
    return false;
}

bool KPh264ImageCompressor::setup()
{
    std::lock_guard lock(m_lock);
    const QSizeF size = resolution();
    EncoderConfig config;
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
    for (const std::string& name : encoderCandidates()) {
        if (d->open(name, config)) {
            qCInfo(lcCompress).noquote()
                << QStringLiteral("h264: encoding %1x%2 with %3 (%4)")
                       .arg(config.width)
                       .arg(config.height)
                       .arg(d->name, d->hardware ? QStringLiteral("hardware") : QStringLiteral("software"));
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

QString KPh264ImageCompressor::encoderName() const
{
    std::lock_guard lock(m_lock);
    return d->name;
}

std::int64_t KPh264ImageCompressor::lastPresentationTime() const
{
    std::lock_guard lock(m_lock);
    return d->lastPts;
}

KPh264ImageCompressor::Statistics KPh264ImageCompressor::statistics() const
{
    std::lock_guard lock(d->statsMutex);
    return d->stats;
}

void KPh264ImageCompressor::compressRawImage(std::shared_ptr<PixelBuffer> image, CompletionBlock completion)
{
    setCompletionBlock(std::move(completion));

    const double now = mach_time_seconds();
    m_frameTime = now;
    if (m_firstFrameTime == 0)
        m_firstFrameTime = now;
    ++m_frameCount;
    m_lastFrameTime = now;

    std::lock_guard lock(m_lock);
    if (!d->ctx || !image)
        return;
    AVCodecContext* c = d->ctx.get();
    // Microseconds since the first frame; kept strictly increasing for the encoder.
    std::int64_t pts = std::int64_t((now - m_firstFrameTime) * 1'000'000.0);
    if (pts <= d->lastPts)
        pts = d->lastPts + 1;
    d->lastPts = pts;

    const double cpu0 = threadCpuMs();
    const double wall0 = wallMs();
    if (av_frame_make_writable(d->frame.get()) < 0)
        return;
    AVFrame* f = d->frame.get();
    // An idle desktop hands the same surface over on every tick: its pixels are already in
    // the frame (making it writable keeps them), so only the encoder runs again.
    const CaptureSurface* surface = image->surface();
    const bool reuse = surface == d->lastSurface && surface->generation() == d->lastGeneration;
    if (!reuse) {
        std::uint8_t* planes[3] = {f->data[0], f->data[1], f->data[2]};
        const int strides[3] = {f->linesize[0], f->linesize[1], f->linesize[2]};
        // When the frame source knows what changed since the picture the frame holds, only
        // the rows it reaches are converted again.
        const std::optional<std::vector<RowSpan>> changed =
            d->lastSurface ? surface->changedRowsSince(d->lastGeneration) : std::nullopt;
        d->lastSurface = nullptr;
        const bool updated =
            changed && d->converter.convertChangedRows(image->baseAddress(), image->bytesPerRow(),
                                                       image->width(), image->height(), planes, strides,
                                                       c->width, c->height, d->layout, *changed);
        if (!updated &&
            !d->converter.convert(image->baseAddress(), image->bytesPerRow(), image->width(), image->height(),
                                  planes, strides, c->width, c->height, d->layout))
            return;
        d->lastSurface = surface;
        d->lastGeneration = surface->generation();
    }
    image.reset(); // the surface can go back to the capture pool now
    f->pts = pts;
    const double cpu1 = threadCpuMs();
    const double wall1 = wallMs();

    AVFrame* submit = f;
    if (d->hwFrames) {
        av_frame_unref(d->hwFrame.get());
        if (av_hwframe_get_buffer(d->hwFrames.get(), d->hwFrame.get(), 0) < 0 ||
            av_hwframe_transfer_data(d->hwFrame.get(), f, 0) < 0)
            return;
        d->hwFrame->pts = pts;
        submit = d->hwFrame.get();
    }

    std::uint64_t units = 0;
    std::uint64_t keys = 0;
    std::uint64_t bytes = 0;
    if (avcodec_send_frame(c, submit) >= 0) {
        while (avcodec_receive_packet(c, d->packet.get()) >= 0) {
            AVPacket* p = d->packet.get();
            H264AccessUnit::Normalised unit = H264AccessUnit::normalisePacket(
                QByteArrayView(reinterpret_cast<const char*>(p->data), p->size), p->flags & AV_PKT_FLAG_KEY,
                d->sets);
            av_packet_unref(p);
            if (unit.frame.isEmpty())
                continue;
            ++units;
            keys += unit.isKeyFrame ? 1 : 0;
            bytes += std::uint64_t(unit.frame.size());
            gogo(unit.frame, d->sets.sps, d->sets.pps, unit.isKeyFrame);
        }
    }
    const double cpu2 = threadCpuMs();
    const double wall2 = wallMs();
    std::lock_guard statsLock(d->statsMutex);
    d->stats.framesSubmitted += 1;
    d->stats.framesReused += reuse ? 1 : 0;
    d->stats.accessUnits += units;
    d->stats.keyFrames += keys;
    d->stats.bytes += bytes;
    d->stats.convertCpuMs += cpu1 - cpu0;
    d->stats.convertWallMs += wall1 - wall0;
    d->stats.encodeCpuMs += cpu2 - cpu1;
    d->stats.encodeWallMs += wall2 - wall1;
}

void KPh264ImageCompressor::gogo(const QByteArray& frame, const QByteArray& sps, const QByteArray& pps,
                                 bool isKeyFrame)
{
    record(frame, sps, pps, isKeyFrame);
    const QByteArray unit = H264AccessUnit::assemble(frame, sps, pps, isKeyFrame);
    if (CompletionBlock completion = completionBlock()) {
        // The size actually encoded (even, see setup()), which is what the receiver decodes.
        completion(unit, d->ctx ? d->ctx->width : 0, d->ctx ? d->ctx->height : 0);
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
