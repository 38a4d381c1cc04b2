#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

// Display utilities. A display is named by its X RandR output identifier.
class KPQuartzServiceUtility
{
public:
    // The monitor's product name from the output's EDID, or none when the output has no
    // EDID or the EDID names no product. `x11Display` as for XOpenDisplay; empty = $DISPLAY.
    static std::optional<QString> screenNameForDisplay(std::uint32_t display,
                                                       const QByteArray& x11Display = {});

    // The monitor name descriptor (tag 0xFC) of an EDID block, or none.
    static std::optional<QString> screenNameFromEdid(const QByteArray& edid);
};

std::optional<QString> screenNameForDisplay(std::uint32_t display);
