#include "H264Decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

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
} // namespace

struct H264Decoder::Impl
{
    std::unique_ptr<AVCodecContext, CodecContextDeleter> context;
    std::unique_ptr<AVFrame, FrameDeleter> scratch{av_frame_alloc()};
    std::unique_ptr<AVFrame, FrameDeleter> last{av_frame_alloc()};
    std::unique_ptr<AVPacket, PacketDeleter> packet{av_packet_alloc()};
    bool hasPicture = false;
};

H264Decoder::H264Decoder() : d(std::make_unique<Impl>())
{
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec)
        return;
    d->context.reset(avcodec_alloc_context3(codec));
    if (!d->context)
        return;
    d->context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    d->context->thread_count = 1;
    if (avcodec_open2(d->context.get(), codec, nullptr) < 0)
        d->context.reset();
}

H264Decoder::~H264Decoder() = default;

bool H264Decoder::isOpen() const
{
    return d->context && d->scratch && d->last && d->packet;
}

H264Decoder::Result H264Decoder::decode(const QByteArray& accessUnit)
{
    if (!isOpen() || accessUnit.isEmpty())
        return Result::Error;
    // libavcodec wants padding after the data.
    QByteArray padded = accessUnit;
    padded.append(QByteArray(AV_INPUT_BUFFER_PADDING_SIZE, '\0'));
    av_packet_unref(d->packet.get());
    d->packet->data = reinterpret_cast<uint8_t*>(padded.data());
    d->packet->size = int(accessUnit.size());
    int rc = avcodec_send_packet(d->context.get(), d->packet.get());
    d->packet->data = nullptr;
    d->packet->size = 0;
    if (rc < 0)
        return Result::Error;
    Result result = Result::NoPicture;
    for (;;) {
        rc = avcodec_receive_frame(d->context.get(), d->scratch.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            break;
        if (rc < 0)
            return Result::Error;
        if (d->scratch->decode_error_flags != 0) {
            av_frame_unref(d->scratch.get());
            return Result::Error;
        }
        av_frame_unref(d->last.get());
        av_frame_move_ref(d->last.get(), d->scratch.get());
        d->hasPicture = true;
        result = Result::Picture;
    }
    return result;
}

QSize H264Decoder::lastPictureSize() const
{
    return d->hasPicture ? QSize(d->last->width, d->last->height) : QSize();
}

QImage H264Decoder::lastPicture() const
{
    if (!d->hasPicture)
        return {};
    AVFrame* f = d->last.get();
    SwsContext* sws = sws_getContext(f->width, f->height, AVPixelFormat(f->format), f->width, f->height,
                                     AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws)
        return {};
    QImage image(f->width, f->height, QImage::Format_RGB32);
    uint8_t* dst[4] = {image.bits(), nullptr, nullptr, nullptr};
    int dstStride[4] = {int(image.bytesPerLine()), 0, 0, 0};
    sws_scale(sws, f->data, f->linesize, 0, f->height, dst, dstStride);
    sws_freeContext(sws);
    return image;
}
