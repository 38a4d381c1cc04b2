#pragma once

#include <QSizeF>

// The size of the primary screen (the one with the menu bar / panel).
class ScreenResolutionUtility
{
public:
    // In device-independent points, or in device pixels (points x device pixel ratio). Zero
    // when the application has no screen.
    static QSizeF mainScreenResolution(bool inPixels);
    static QSizeF mainScreenResolution() { return mainScreenResolution(false); }
};
