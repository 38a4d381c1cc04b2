#include "Pikora/Capture/DesktopFrameSource.h"

std::uint32_t DesktopFrameSource::mainDisplayID()
{
    const std::vector<Display> list = displays();
    for (const Display& d : list)
        if (d.primary)
            return d.id;
    return list.empty() ? 0 : list.front().id;
}
