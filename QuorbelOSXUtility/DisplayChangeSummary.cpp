#include "QuorbelOSXUtility/DisplayChangeSummary.h"

#include "QuorbelOSXUtility/RandrSnapshot.h"

namespace {

struct FlagName
{
    std::uint32_t flag;
    const char* name;
};

constexpr FlagName kFlagNames[] = {
    {kCGDisplayBeginConfigurationFlag, "kCGDisplayBeginConfigurationFlag"},
    {kCGDisplayMovedFlag, "kCGDisplayMovedFlag"},
    {kCGDisplaySetMainFlag, "kCGDisplaySetMainFlag"},
    {kCGDisplaySetModeFlag, "kCGDisplaySetModeFlag"},
    {kCGDisplayAddFlag, "kCGDisplayAddFlag"},
    {kCGDisplayRemoveFlag, "kCGDisplayRemoveFlag"},
    {kCGDisplayEnabledFlag, "kCGDisplayEnabledFlag"},
    {kCGDisplayDisabledFlag, "kCGDisplayDisabledFlag"},
    {kCGDisplayMirrorFlag, "kCGDisplayMirrorFlag"},
    {kCGDisplayUnMirrorFlag, "kCGDisplayUnMirrorFlag"},
    {kCGDisplayDesktopShapeChangedFlag, "kCGDisplayDesktopShapeChangedFlag"},
};

} // namespace

QStringList displayChangeSummaryFlagNames(std::uint32_t flags)
{
    QStringList names;
    for (const FlagName& f : kFlagNames)
        if (flags & f.flag)
            names << QLatin1String(f.name);
    return names;
}

std::uint32_t displayChangeSummaryFlags(const RandrSnapshot& before, const RandrSnapshot& after,
                                        std::uint32_t display)
{
    std::uint32_t flags = 0;
    const RandrSnapshot::Output* was = before.output(display);
    const RandrSnapshot::Output* is = after.output(display);
    const bool wasConnected = was && was->connected;
    const bool isConnected = is && is->connected;
    if (!wasConnected && isConnected)
        flags |= kCGDisplayAddFlag;
    if (wasConnected && !isConnected)
        flags |= kCGDisplayRemoveFlag;

    const bool wasActive = before.isActive(display);
    const bool isActive = after.isActive(display);
    if (!wasActive && isActive)
        flags |= kCGDisplayEnabledFlag;
    if (wasActive && !isActive)
        flags |= kCGDisplayDisabledFlag;
    if (wasActive && isActive) {
        const QRect a = before.boundsOf(display);
        const QRect b = after.boundsOf(display);
        if (a.topLeft() != b.topLeft())
            flags |= kCGDisplayMovedFlag;
        if (a.size() != b.size() || before.crtc(was->crtc)->mode != after.crtc(is->crtc)->mode)
            flags |= kCGDisplaySetModeFlag;
    }
    const std::uint32_t mainBefore = before.mainDisplay();
    const std::uint32_t mainAfter = after.mainDisplay();
    if (mainBefore != mainAfter && (display == mainBefore || display == mainAfter))
        flags |= kCGDisplaySetMainFlag;

    const bool mirroredBefore = before.mirrorSourceOf(display) != 0;
    const bool mirroredAfter = after.mirrorSourceOf(display) != 0;
    if (!mirroredBefore && mirroredAfter)
        flags |= kCGDisplayMirrorFlag;
    if (mirroredBefore && !mirroredAfter)
        flags |= kCGDisplayUnMirrorFlag;

    if (before.screenSize != after.screenSize && (wasActive || isActive))
        flags |= kCGDisplayDesktopShapeChangedFlag;
    return flags;
}
