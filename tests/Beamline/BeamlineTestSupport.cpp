#include "BeamlineTestSupport.h"

#include <QPainter>
#include <turbojpeg.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

QImage halfWhitePicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter p(&image);
    p.fillRect(0, 0, width / 2, height, Qt::white);
    return image;
}

std::vector<QByteArray> encodeH264(const QImage& picture, int count)
{
    std::vector<QByteArray> out;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec)
        return out;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = picture.width();
    ctx->height = picture.height();
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, 20};
    ctx->framerate = AVRational{20, 1};
    ctx->gop_size = 15;
    ctx->max_b_frames = 0;
    ctx->bit_rate = 1000000;
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return out;
    }
    AVFrame* frame = av_frame_alloc();
    frame->format = ctx->pix_fmt;
    frame->width = ctx->width;
    frame->height = ctx->height;
    av_frame_get_buffer(frame, 0);
    // RGB -> YUV 4:2:0 (BT.601, full enough for a two-tone picture).
    for (int y = 0; y < ctx->height; ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
        for (int x = 0; x < ctx->width; ++x) {
            const int r = qRed(line[x]), g = qGreen(line[x]), b = qBlue(line[x]);
            frame->data[0][y * frame->linesize[0] + x] =
                uint8_t((66 * r + 129 * g + 25 * b + 128) / 256 + 16);
            if (y % 2 == 0 && x % 2 == 0) {
                frame->data[1][(y / 2) * frame->linesize[1] + x / 2] =
                    uint8_t((-38 * r - 74 * g + 112 * b + 128) / 256 + 128);
                frame->data[2][(y / 2) * frame->linesize[2] + x / 2] =
                    uint8_t((112 * r - 94 * g - 18 * b + 128) / 256 + 128);
            }
        }
    }
    AVPacket* packet = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(ctx, packet) == 0) {
            out.emplace_back(reinterpret_cast<const char*>(packet->data), packet->size);
            av_packet_unref(packet);
        }
    };
    for (int i = 0; i < count; ++i) {
        frame->pts = i;
        if (avcodec_send_frame(ctx, frame) < 0)
            break;
        drain();
    }
    avcodec_send_frame(ctx, nullptr);
    drain();
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return out;
}

QByteArray encodeJpeg(const QImage& picture, int quality)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    tjhandle handle = tjInitCompress();
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    QByteArray out;
    if (tjCompress2(handle, rgb.constBits(), rgb.width(), int(rgb.bytesPerLine()), rgb.height(), TJPF_BGRX,
                    &buffer, &size, TJSAMP_420, quality, 0) == 0)
        out = QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(size));
    tjFree(buffer);
    tjDestroy(handle);
    return out;
}
