#include "Pikora/Compressors/LibavH264Encoder.h"

#include "Pikora/Capture/CaptureLogging.h"
#include "Pikora/Compressors/LibavLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <climits>

namespace {

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
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using BufferRef = std::unique_ptr<AVBufferRef, BufferRefDeleter>;

} // namespace

struct LibavH264Encoder::Impl
{
    std::string codecName;
    CodecContext ctx;
    BufferRef hwDevice;
    BufferRef hwFrames;
    Frame frame;   // software frame the converter writes into
    Frame hwFrame; // upload target for VA-API
    PacketPtr packet;
    H264AccessUnit::ParameterSets sets;
    FrameConverter::Layout layout = FrameConverter::Layout::I420;
    bool rateLimited = false;
    int openedBufferBits = 0; // the rate buffer opened with (0: none)

    bool vaapi() const { return codecName == "h264_vaapi"; }
    bool software() const { return codecName == "libx264"; }
    void close();
};

void LibavH264Encoder::Impl::close()
{
    ctx.reset();
    hwFrames.reset();
    hwDevice.reset();
    frame.reset();
    hwFrame.reset();
    packet.reset();
    sets = {};
    rateLimited = false;
    openedBufferBits = 0;
}

LibavH264Encoder::LibavH264Encoder(std::string codecName) : d(std::make_unique<Impl>())
{
    d->codecName = std::move(codecName);
}

LibavH264Encoder::~LibavH264Encoder()
{
    LibavLog::Scope scope;
    d->close();
}

QString LibavH264Encoder::name() const
{
    return QString::fromStdString(d->codecName);
}

bool LibavH264Encoder::isHardware() const
{
    return !d->software();
}

bool LibavH264Encoder::rateLimited() const
{
    return d->rateLimited;
}

FrameConverter::Layout LibavH264Encoder::layout() const
{
    return d->layout;
}

H264AccessUnit::ParameterSets LibavH264Encoder::parameterSets() const
{
    return d->sets;
}

bool LibavH264Encoder::open(const Config& config)
{
    LibavLog::Scope scope;
    d->close();
    const AVCodec* codec = avcodec_find_encoder_by_name(d->codecName.c_str());
    if (!codec)
        return false;
    const bool vaapi = d->vaapi();
    const bool software = d->software();
    const AVPixelFormat swFormat =
        (vaapi || d->codecName == "h264_qsv") ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;

    if (vaapi) {
        AVBufferRef* device = nullptr;
        if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) < 0)
            return false;
        d->hwDevice.reset(device);
        d->hwFrames.reset(av_hwframe_ctx_alloc(d->hwDevice.get()));
        if (!d->hwFrames)
            return false;
        auto* frames = reinterpret_cast<AVHWFramesContext*>(d->hwFrames->data);
        frames->format = AV_PIX_FMT_VAAPI;
        frames->sw_format = swFormat;
        frames->width = config.width;
        frames->height = config.height;
        frames->initial_pool_size = 4;
        if (av_hwframe_ctx_init(d->hwFrames.get()) < 0)
            return false;
    }

    // Opens with or without the data-rate limit; the limit is dropped (and reported) only
    // when the encoder refuses it.
    auto attempt = [&](bool withLimits) -> bool {
        d->ctx.reset(avcodec_alloc_context3(codec));
        if (!d->ctx)
            return false;
        AVCodecContext* c = d->ctx.get();
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
            c->hw_frames_ctx = av_buffer_ref(d->hwFrames.get());
        if (config.bitrate > 0) {
            c->bit_rate = config.bitrate;
            if (withLimits) {
                // Any 10 s may hold bitrate x 10 bits. The rate buffer (kRateBufferSeconds of
                // the average) plus 10 s at the maximum rate must fit in that, so the
                // maximum (and with it the average) is the rest spread over the 10 s.
                const qint64 buffer = qint64(double(config.bitrate) * kRateBufferSeconds);
                const qint64 maxRate = (config.bitrate * 10 - buffer) / 10;
                c->bit_rate = maxRate;
                c->rc_max_rate = maxRate;
                c->rc_buffer_size = int(buffer);
                d->openedBufferBits = int(buffer);
            }
        }
        if (software) {
            av_opt_set(c->priv_data, "preset", "ultrafast", 0);
            av_opt_set(c->priv_data, "tune", "zerolatency", 0);
            av_opt_set(c->priv_data, "profile", "main", 0);
            // "profile" only caps the profile: ultrafast turns CABAC off and would signal
            // Constrained Baseline. CABAC makes it Main and saves about a tenth of the bits.
            av_opt_set(c->priv_data, "coder", "cabac", 0);
            av_opt_set(c->priv_data, "forced-idr", "1", 0);
        } else if (d->codecName == "h264_nvenc") {
            av_opt_set(c->priv_data, "preset", "p1", 0);
            av_opt_set(c->priv_data, "tune", "ull", 0);
            av_opt_set(c->priv_data, "zerolatency", "1", 0);
            av_opt_set(c->priv_data, "delay", "0", 0);
            av_opt_set(c->priv_data, "profile", "main", 0);
            av_opt_set(c->priv_data, "forced-idr", "1", 0);
        } else if (d->codecName == "h264_qsv") {
            av_opt_set(c->priv_data, "preset", "veryfast", 0);
            av_opt_set(c->priv_data, "async_depth", "1", 0);
            av_opt_set(c->priv_data, "look_ahead", "0", 0);
            av_opt_set(c->priv_data, "forced_idr", "1", 0);
        } else if (vaapi) {
            // One picture in flight, no B-frame reference depth, a rate-controlled mode when
            // there is a rate, and nothing but the slices in each packet.
            av_opt_set(c->priv_data, "async_depth", "1", 0);
            av_opt_set(c->priv_data, "b_depth", "1", 0);
            if (config.bitrate > 0)
                av_opt_set(c->priv_data, "rc_mode", "VBR", 0);
            av_opt_set(c->priv_data, "sei", "0", 0);
            av_opt_set(c->priv_data, "aud", "0", 0);
        }
        return avcodec_open2(c, codec, nullptr) >= 0;
    };

    bool limitsFit = true;
    if (config.bitrate > 0 && config.bitrate > INT_MAX / 2)
        limitsFit = false; // the buffer size would not fit the encoder's field
    bool opened = config.bitrate > 0 && limitsFit && attempt(true);
    d->rateLimited = opened;
    if (!opened) {
        opened = attempt(false);
        if (opened && config.bitrate > 0)
            qCWarning(lcCompress).noquote() << "FAILED TO SET DATALIMITS";
    }
    if (!opened) {
        d->close();
        return false;
    }

    d->frame.reset(av_frame_alloc());
    d->packet.reset(av_packet_alloc());
    if (!d->frame || !d->packet) {
        d->close();
        return false;
    }
    d->frame->format = swFormat;
    d->frame->width = config.width;
    d->frame->height = config.height;
    if (av_frame_get_buffer(d->frame.get(), 64) < 0) {
        d->close();
        return false;
    }
    if (vaapi)
        d->hwFrame.reset(av_frame_alloc());
    d->layout = swFormat == AV_PIX_FMT_NV12 ? FrameConverter::Layout::NV12 : FrameConverter::Layout::I420;
    d->sets = H264AccessUnit::parseExtradata(
        QByteArrayView(reinterpret_cast<const char*>(d->ctx->extradata), d->ctx->extradata_size));
    return true;
}

std::optional<H264Encoder::Picture> LibavH264Encoder::picture()
{
    if (!d->ctx || !d->frame)
        return std::nullopt;
    // Keeps the pixels when the frame is not shared (the encoder may still hold a reference
    // to the previous picture; then they are copied).
    if (av_frame_make_writable(d->frame.get()) < 0)
        return std::nullopt;
    Picture picture;
    for (int i = 0; i < 3; ++i) {
        picture.planes[std::size_t(i)] = d->frame->data[i];
        picture.strides[std::size_t(i)] = d->frame->linesize[i];
    }
    return picture;
}

namespace {

// The quantiser libavcodec reports beside a packet (its "quality", in lambda units), or -1.
int packetQuantiser(const AVPacket* packet)
{
    std::size_t size = 0;
    const std::uint8_t* stats = av_packet_get_side_data(packet, AV_PKT_DATA_QUALITY_STATS, &size);
    if (!stats || size < 4)
        return -1;
    // Little-endian 32 bits; a negative or absurd value says nothing.
    const std::uint32_t quality = std::uint32_t(stats[0]) | std::uint32_t(stats[1]) << 8 |
                                  std::uint32_t(stats[2]) << 16 | std::uint32_t(stats[3]) << 24;
    if (quality > std::uint32_t(INT_MAX))
        return -1;
    return int(std::min<std::uint32_t>(quality / FF_QP2LAMBDA, 69));
}

} // namespace

bool LibavH264Encoder::encode(std::int64_t pts, bool forceKeyFrame, std::vector<Packet>& out)
{
    if (!d->ctx)
        return false;
    LibavLog::Scope scope;
    AVCodecContext* c = d->ctx.get();
    AVFrame* f = d->frame.get();
    f->pts = pts;
    f->pict_type = forceKeyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    AVFrame* submit = f;
    if (d->hwFrames) {
        av_frame_unref(d->hwFrame.get());
        if (av_hwframe_get_buffer(d->hwFrames.get(), d->hwFrame.get(), 0) < 0 ||
            av_hwframe_transfer_data(d->hwFrame.get(), f, 0) < 0)
            return false;
        d->hwFrame->pts = pts;
        d->hwFrame->pict_type = f->pict_type;
        submit = d->hwFrame.get();
    }
    const int sent = avcodec_send_frame(c, submit);
    if (sent < 0 && sent != AVERROR(EAGAIN))
        return false;
    for (;;) {
        const int received = avcodec_receive_packet(c, d->packet.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            break;
        if (received < 0)
            return false;
        AVPacket* p = d->packet.get();
        out.push_back({QByteArray(reinterpret_cast<const char*>(p->data), p->size),
                       (p->flags & AV_PKT_FLAG_KEY) != 0, packetQuantiser(p)});
        av_packet_unref(p);
    }
    return true;
}

bool LibavH264Encoder::setRateBufferSeconds(double seconds)
{
    if (!d->ctx || !d->software() || !d->rateLimited || !(seconds > 0))
        return false;
    const double bits = double(d->ctx->bit_rate) * seconds;
    const int buffer = int(std::min(bits, double(d->openedBufferBits)));
    // libx264 counts the buffer in kbit: less than that is no buffer at all.
    if (buffer < 1000)
        return false;
    // The libavcodec wrapper hands a changed size to libx264 before the next picture.
    d->ctx->rc_buffer_size = buffer;
    return true;
}
