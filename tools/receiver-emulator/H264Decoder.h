#pragma once

// Decodes H.264 access units (Annex-B) with libavcodec. The last decoded picture is kept as a
// frame reference and converted to a QImage only when asked for.

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <memory>

class H264Decoder
{
public:
    enum class Result
    {
        Picture,
        NoPicture,
        Error
    };

    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    bool isOpen() const;
    Result decode(const QByteArray& accessUnit);
    QSize lastPictureSize() const;
    // The last decoded picture in RGB (null when none).
    QImage lastPicture() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
