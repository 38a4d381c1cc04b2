#include "QuorbelOSXUtility/RandrSnapshot.h"

#include <algorithm>

namespace {

template <typename T> const T* findById(const std::vector<T>& items, std::uint32_t id)
{
    if (id == 0)
        return nullptr;
    const auto it = std::find_if(items.begin(), items.end(), [id](const T& item) { return item.id == id; });
    return it == items.end() ? nullptr : &*it;
}

bool contains(const std::vector<std::uint32_t>& list, std::uint32_t id)
{
    return std::find(list.begin(), list.end(), id) != list.end();
}

} // namespace

const RandrSnapshot::Output* RandrSnapshot::output(std::uint32_t id) const
{
    return findById(outputs, id);
}

const RandrSnapshot::Crtc* RandrSnapshot::crtc(std::uint32_t id) const
{
    return findById(crtcs, id);
}

const RandrSnapshot::Mode* RandrSnapshot::mode(std::uint32_t id) const
{
    return findById(modes, id);
}

bool RandrSnapshot::isActive(std::uint32_t display) const
{
    const Output* o = output(display);
    if (!o || !o->connected)
        return false;
    const Crtc* c = crtc(o->crtc);
    return c && !c->rect.isEmpty() && contains(c->outputs, display);
}

std::vector<std::uint32_t> RandrSnapshot::activeDisplays(std::size_t max) const
{
    std::vector<std::uint32_t> list;
    for (const Output& o : outputs) {
        if (list.size() >= max)
            break;
        if (isActive(o.id))
            list.push_back(o.id);
    }
    return list;
}

std::uint32_t RandrSnapshot::mainDisplay() const
{
    if (isActive(primary))
        return primary;
    const std::vector<std::uint32_t> active = activeDisplays(outputs.size());
    for (std::uint32_t id : active)
        if (boundsOf(id).topLeft() == QPoint(0, 0))
            return id;
    return active.empty() ? 0 : active.front();
}

QRect RandrSnapshot::boundsOf(std::uint32_t display) const
{
    if (!isActive(display))
        return {};
    return crtc(output(display)->crtc)->rect;
}

std::uint32_t RandrSnapshot::mirrorSourceOf(std::uint32_t display) const
{
    if (!isActive(display))
        return 0;
    const std::uint32_t main = mainDisplay();
    if (display == main)
        return 0;
    const Crtc* own = crtc(output(display)->crtc);
    std::vector<std::uint32_t> sharing;
    for (std::uint32_t id : own->outputs)
        if (isActive(id))
            sharing.push_back(id);
    if (sharing.size() > 1) {
        const std::uint32_t source = contains(sharing, main) ? main : sharing.front();
        return source == display ? 0 : source;
    }
    // Separate CRTCs showing the same area: the main display, then earlier outputs, are the
    // sources.
    std::vector<std::uint32_t> order{main};
    for (std::uint32_t id : activeDisplays(outputs.size()))
        if (id != main)
            order.push_back(id);
    for (std::uint32_t id : order) {
        if (id == display)
            break;
        const Crtc* other = crtc(output(id)->crtc);
        if (other->id != own->id && other->rect == own->rect)
            return id;
    }
    return 0;
}

std::uint32_t RandrSnapshot::edidVendorNumber(const QByteArray& edid)
{
    if (edid.size() < 12)
        return 0;
    return (std::uint32_t(std::uint8_t(edid[8])) << 8) | std::uint8_t(edid[9]);
}

std::uint32_t RandrSnapshot::edidModelNumber(const QByteArray& edid)
{
    if (edid.size() < 12)
        return 0;
    return std::uint32_t(std::uint8_t(edid[10])) | (std::uint32_t(std::uint8_t(edid[11])) << 8);
}

bool RandrSnapshot::isBuiltInOutputName(const QString& name)
{
    for (const char* prefix : {"eDP", "LVDS", "DSI"})
        if (name.startsWith(QLatin1String(prefix), Qt::CaseInsensitive))
            return true;
    return false;
}
