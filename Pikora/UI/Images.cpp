#include "Pikora/UI/Images.h"

#include "Pikora/UI/UiLogging.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

namespace Images {

namespace {

QString resourcePath(const QString& name)
{
    return QStringLiteral(":/images/%1.svg").arg(name);
}

} // namespace

QIcon named(const QString& name)
{
    if (name.isEmpty())
        return {};
    const QString path = resourcePath(name);
    if (!QFile::exists(path)) {
        qCWarning(lcUi) << "no bundled image named" << name;
        return {};
    }
    return QIcon(path);
}

QPixmap templatePixmap(const QString& name, QSize size, const QColor& tint, qreal devicePixelRatio)
{
    QSvgRenderer renderer(resourcePath(name));
    if (!renderer.isValid() || size.isEmpty()) {
        qCWarning(lcUi) << "cannot render template image" << name;
        return {};
    }
    const QSize pixels = (QSizeF(size) * devicePixelRatio).toSize();
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(pixels)));
        // Keep the drawing's coverage, replace its colour.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), tint);
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon templateIcon(const QString& name, const QColor& tint)
{
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48})
        icon.addPixmap(templatePixmap(name, QSize(side, side), tint));
    return icon;
}

} // namespace Images
