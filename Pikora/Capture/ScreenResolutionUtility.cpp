#include "Pikora/Capture/ScreenResolutionUtility.h"

#include <QGuiApplication>
#include <QScreen>

QSizeF ScreenResolutionUtility::mainScreenResolution(bool inPixels)
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (screens.isEmpty())
        return {};
    // Qt lists the primary screen first.
    const QScreen* screen =
        QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen() : screens.first();
    const QSizeF points = screen->geometry().size();
    return inPixels ? points * screen->devicePixelRatio() : points;
}
