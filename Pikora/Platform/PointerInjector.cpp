#include "Pikora/Platform/PointerInjector.h"

#include <algorithm>
#include <cmath>

std::optional<QPoint> PointerInjector::clampToScreen(QPointF point, QSize screenSize)
{
    if (!std::isfinite(point.x()) || !std::isfinite(point.y()) || screenSize.isEmpty())
        return std::nullopt;
    const double x = std::clamp(std::round(point.x()), 0.0, double(screenSize.width() - 1));
    const double y = std::clamp(std::round(point.y()), 0.0, double(screenSize.height() - 1));
    return QPoint(int(x), int(y));
}

std::optional<QPointF> PointerInjector::clampDelta(double dx, double dy, QSize screenSize)
{
    if (!std::isfinite(dx) || !std::isfinite(dy))
        return std::nullopt;
    const double w = std::max(screenSize.width(), 0);
    const double h = std::max(screenSize.height(), 0);
    return QPointF(std::clamp(dx, -w, w), std::clamp(dy, -h, h));
}
