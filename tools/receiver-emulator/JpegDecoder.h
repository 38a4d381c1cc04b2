#pragma once

// Decodes JPEG pictures with TurboJPEG.

#include <QByteArray>
#include <QImage>
#include <memory>

class JpegDecoder
{
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Pictures above this many pixels are refused before any allocation.
    static constexpr qint64 kMaxPixels = 64ll * 1024 * 1024;

    // Returns a null image when the data is no decodable JPEG.
    QImage decode(const QByteArray& jpeg, QString* error = nullptr);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
