#pragma once

#include <QStringList>
#include <cstdint>

struct RandrSnapshot;

// Display reconfiguration flags, with the values and names other desktop systems use for them.
enum KPDisplayChangeSummaryFlag : std::uint32_t
{
    kCGDisplayBeginConfigurationFlag = 0x1,
    kCGDisplayMovedFlag = 0x2,
    kCGDisplaySetMainFlag = 0x4,
    kCGDisplaySetModeFlag = 0x8,
    kCGDisplayAddFlag = 0x10,
    kCGDisplayRemoveFlag = 0x20,
    kCGDisplayEnabledFlag = 0x100,
    kCGDisplayDisabledFlag = 0x200,
    kCGDisplayMirrorFlag = 0x400,
    kCGDisplayUnMirrorFlag = 0x800,
    kCGDisplayDesktopShapeChangedFlag = 0x1000
};

// The names of the set flags, in the order of their values.
QStringList displayChangeSummaryFlagNames(std::uint32_t flags);
// The flags that describe how `display` changed from `before` to `after` (RandR reports the
// change as new state; the begin-configuration flag has no RandR counterpart).
std::uint32_t displayChangeSummaryFlags(const RandrSnapshot& before, const RandrSnapshot& after,
                                        std::uint32_t display);
