#pragma once

#include "Pikora/Capture/CaptureSurface.h"

#include <QRect>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class DispatchQueue;

// Where desktop frames come from: the X server, the desktop portal's screen cast (Wayland),
// or a synthetic scene for headless runs.
// A source lists its displays and runs one stream at a time; while streaming it delivers
// each new picture of the display on the given queue. A source delivers nothing while the
// display does not change.
class DesktopFrameSource
{
public:
    struct Display
    {
        std::uint32_t id = 0; // non-zero
        QRect bounds;         // in points
        double scale = 1.0;   // pixels per point
        QString outputName;   // e.g. "HDMI-1"
        bool primary = false;
    };

    // Receives each new frame on the stream's queue.
    using FrameHandler = std::function<void(std::shared_ptr<CaptureSurface>)>;

    virtual ~DesktopFrameSource() = default;

    virtual std::vector<Display> displays() = 0;
    // The monitor's product name, when the display reports one.
    virtual std::optional<QString> screenName(std::uint32_t display) = 0;
    // The display with the menu bar / panel; 0 when there is none.
    std::uint32_t mainDisplayID();

    // Starts delivering frames of `display` of `pixelSize` (at most `fps` per second, drawing
    // the pointer into them when `showCursor`) on `queue`, which must outlive the stream.
    // Returns false, with the reason logged, when the stream cannot be created.
    virtual bool start(std::uint32_t display, QSize pixelSize, double fps, bool showCursor,
                       DispatchQueue& queue, FrameHandler handler) = 0;
    // Stops the stream; when it returns no handler call is running or will run.
    virtual void stop() = 0;
};

enum class CaptureBackend
{
    X11,
    TestPattern,
    Portal // the desktop portal's screen cast (Wayland sessions)
};
