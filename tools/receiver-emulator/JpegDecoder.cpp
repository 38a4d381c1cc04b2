#include "JpegDecoder.h"

#include <turbojpeg.h>

struct JpegDecoder::Impl
{
    tjhandle handle = tjInitDecompress();
    ~Impl()
    {
        if (handle)
            tjDestroy(handle);
    }
};

JpegDecoder::JpegDecoder() : d(std::make_unique<Impl>()) {}
JpegDecoder::~JpegDecoder() = default;

QImage JpegDecoder::decode(const QByteArray& jpeg, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return QImage();
    };
    if (!d->handle)
        return fail(QStringLiteral("no decoder"));
    if (jpeg.isEmpty())
        return fail(QStringLiteral("empty picture"));
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    auto* data = reinterpret_cast<const unsigned char*>(jpeg.constData());
    if (tjDecompressHeader3(d->handle, data, static_cast<unsigned long>(jpeg.size()), &width, &height,
                            &subsampling, &colorspace) != 0)
        return fail(QString::fromUtf8(tjGetErrorStr2(d->handle)));
    if (width <= 0 || height <= 0 || qint64(width) * height > kMaxPixels)
        return fail(QStringLiteral("picture size %1x%2 out of range").arg(width).arg(height));
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return fail(QStringLiteral("out of memory"));
    if (tjDecompress2(d->handle, data, static_cast<unsigned long>(jpeg.size()), image.bits(), width,
                      int(image.bytesPerLine()), height, TJPF_BGRX, TJFLAG_ACCURATEDCT) != 0)
        return fail(QString::fromUtf8(tjGetErrorStr2(d->handle)));
    return image;
}
