#include "H264TestDecoder.h"

#include <QString>

extern "C" {
#include <libavcodec/avcodec.h>
}

struct H264TestDecoder::Impl
{
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    ~Impl()
    {
        avcodec_free_context(&ctx);
        av_frame_free(&frame);
        av_packet_free(&packet);
    }
};

H264TestDecoder::H264TestDecoder() : d(std::make_unique<Impl>())
{
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    d->ctx = avcodec_alloc_context3(codec);
    d->ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    d->ctx->thread_count = 1;
    avcodec_open2(d->ctx, codec, nullptr);
    d->frame = av_frame_alloc();
    d->packet = av_packet_alloc();
}

H264TestDecoder::~H264TestDecoder() = default;

std::optional<DecodedPicture> H264TestDecoder::decode(const QByteArray& accessUnit, QString* error)
{
    av_packet_unref(d->packet);
    if (av_new_packet(d->packet, int(accessUnit.size())) < 0)
        return std::nullopt;
    memcpy(d->packet->data, accessUnit.constData(), size_t(accessUnit.size()));
    int rc = avcodec_send_packet(d->ctx, d->packet);
    if (rc < 0) {
        if (error)
            *error = QStringLiteral("send_packet failed: %1").arg(rc);
        return std::nullopt;
    }
    rc = avcodec_receive_frame(d->ctx, d->frame);
    if (rc < 0) {
        if (error)
            *error = QStringLiteral("no picture: %1").arg(rc);
        return std::nullopt;
    }
    if (d->frame->decode_error_flags != 0) {
        if (error)
            *error = QStringLiteral("decode errors 0x%1").arg(d->frame->decode_error_flags, 0, 16);
        av_frame_unref(d->frame);
        return std::nullopt;
    }
    DecodedPicture picture;
    picture.width = d->frame->width;
    picture.height = d->frame->height;
    picture.lumaStride = d->frame->width;
    picture.luma.resize(size_t(picture.width) * size_t(picture.height));
    for (int y = 0; y < picture.height; ++y)
        memcpy(picture.luma.data() + size_t(y) * picture.width,
               d->frame->data[0] + size_t(y) * d->frame->linesize[0], size_t(picture.width));
    av_frame_unref(d->frame);
    return picture;
}

ParsedAccessUnit parseAccessUnit(const QByteArray& au)
{
    ParsedAccessUnit parsed;
    const auto* p = reinterpret_cast<const uint8_t*>(au.constData());
    const qsizetype n = au.size();
    parsed.startsWithStartCode = n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1;
    for (qsizetype i = 0; i + 3 < n; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            const bool four = i > 0 && p[i - 1] == 0;
            if (!four)
                parsed.startCodesAreFourBytes = false;
            parsed.nalTypes.push_back(p[i + 3] & 0x1f);
            i += 2;
        }
    }
    return parsed;
}
