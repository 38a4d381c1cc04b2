#pragma once

#include "QuorbelOSXUtility/RandrMirrorPlan.h"
#include "QuorbelOSXUtility/RandrSnapshot.h"

#include <QByteArray>
#include <QRect>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

// Display utilities over X RandR. A display is named by its RandR output identifier. Every
// operation takes the X display to use (as for XOpenDisplay; empty = $DISPLAY), opens its own
// short connection and answers none, 0, false or an empty list when there is no server or
// the server has no RandR 1.3.
class KPQuartzServiceUtility
{
public:
    static constexpr std::size_t kMaxDisplays = 32;

    struct ActiveDisplay
    {
        std::uint32_t id = 0;
        QRect bounds; // in screen pixels
        QString outputName;
        bool main = false;
    };

    // The monitor's product name from the output's EDID, or none when the output has no
    // EDID or the EDID names no product.
    static std::optional<QString> screenNameForDisplay(std::uint32_t display,
                                                       const QByteArray& x11Display = {});
    // The monitor name descriptor (tag 0xFC) of an EDID block, or none. A block with several
    // gives the first.
    static std::optional<QString> screenNameFromEdid(const QByteArray& edid);

    // The active displays (connected outputs a CRTC shows), at most 32, in the server's order.
    static std::vector<std::uint32_t> getCGDirectDisplays(const QByteArray& x11Display = {});
    static std::vector<ActiveDisplay> activeDisplays(const QByteArray& x11Display = {});

    // One line: mode count, main, the display it mirrors, built-in, pixel size, physical size
    // in millimetres, OpenGL (GLX), EDID vendor and model numbers, and the screen name.
    static QString getInfoForDisplay(std::uint32_t display, const QByteArray& x11Display = {});
    static QString infoForDisplay(const RandrSnapshot& snapshot, std::uint32_t display);
    // Logs getInfoForDisplay().
    static void showInfoForDisplay(std::uint32_t display, const QByteArray& x11Display = {});

    // Whether the display mirrors another; display 0 is logged and answers false.
    static bool isDisplayMirrorMode(std::uint32_t display, const QByteArray& x11Display = {});
    // Makes the display mirror the main display (its output joins the main display's CRTC),
    // or shows it on its own again beside the others. Anything but Changed, AlreadyMirrored
    // and NotMirrored is a failure, logged with its reason; nothing is changed then.
    static RandrMirrorPlan::Result setDisplay(std::uint32_t display, bool mirrorMode,
                                              const QByteArray& x11Display = {});

    // Logs the name of each set flag (see DisplayChangeSummary.h), one line each, in order.
    static void showCGDisplayChangeSummaryFlags(std::uint32_t flags);

    // The server's display configuration now, or none.
    static std::optional<RandrSnapshot> snapshot(const QByteArray& x11Display = {});
};

std::optional<QString> screenNameForDisplay(std::uint32_t display);
