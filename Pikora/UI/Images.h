#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

// The bundled images (":/images/<name>.svg"), looked up by name the way the application
// asks for "ClickMirror" or "projector".
namespace Images {

// The image as a scalable icon; a null icon (and a warning) for an unknown name, and a null
// icon without warning for an empty name.
QIcon named(const QString& name);

// A template image: only the image's alpha is kept and painted in `tint`, so one monochrome
// drawing serves light and dark panels. Rendered at `size` logical pixels for `devicePixelRatio`.
QPixmap templatePixmap(const QString& name, QSize size, const QColor& tint, qreal devicePixelRatio = 1.0);

// The template image at the usual tray sizes (16 to 48 px).
QIcon templateIcon(const QString& name, const QColor& tint);

} // namespace Images
