#include "QuorbelOSXUtility/KPQuartzServiceUtility.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/randr.h>
#include <xcb/xcb.h>

namespace {

constexpr int kEdidBlockSize = 128;
constexpr int kDescriptorOffsets[] = {54, 72, 90, 108};
constexpr unsigned char kMonitorNameTag = 0xFC;

struct FreeDeleter
{
    void operator()(void* p) const { std::free(p); }
};

} // namespace

std::optional<QString> KPQuartzServiceUtility::screenNameFromEdid(const QByteArray& edid)
{
    static const unsigned char header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    if (edid.size() < kEdidBlockSize || std::memcmp(edid.constData(), header, sizeof header) != 0)
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(edid.constData());
    for (int offset : kDescriptorOffsets) {
        const unsigned char* d = bytes + offset;
        // Display descriptors start with a zero pixel clock; byte 3 is the tag.
        if (d[0] != 0 || d[1] != 0 || d[3] != kMonitorNameTag)
            continue;
        QString name;
        for (int i = 5; i < 18 && d[i] != 0x0A && d[i] != 0; ++i)
            name.append(d[i] >= 0x20 && d[i] < 0x7F ? QChar(d[i]) : QChar(u'?'));
        name = name.trimmed();
        if (!name.isEmpty())
            return name;
    }
    return std::nullopt;
}

std::optional<QString> KPQuartzServiceUtility::screenNameForDisplay(std::uint32_t display,
                                                                    const QByteArray& x11Display)
{
    if (display == 0)
        return std::nullopt;
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> conn(
        xcb_connect(x11Display.isEmpty() ? nullptr : x11Display.constData(), nullptr), xcb_disconnect);
    if (xcb_connection_has_error(conn.get()))
        return std::nullopt;
    xcb_connection_t* c = conn.get();

    static const char kEdid[] = "EDID";
    std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof kEdid - 1, kEdid), nullptr));
    if (!atom || atom->atom == XCB_NONE)
        return std::nullopt;

    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (!randr || !randr->present)
        return std::nullopt;
    std::unique_ptr<xcb_randr_query_version_reply_t, FreeDeleter> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr));
    if (!version)
        return std::nullopt;

    xcb_generic_error_t* error = nullptr;
    // EDID blocks are 128 bytes; read up to 8 of them (the length is in 32-bit units).
    std::unique_ptr<xcb_randr_get_output_property_reply_t, FreeDeleter> property(
        xcb_randr_get_output_property_reply(
            c, xcb_randr_get_output_property(c, display, atom->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 256, 0, 0),
            &error));
    if (error) {
        std::free(error);
        return std::nullopt;
    }
    if (!property || property->format != 8)
        return std::nullopt;
    const QByteArray edid(reinterpret_cast<const char*>(xcb_randr_get_output_property_data(property.get())),
                          xcb_randr_get_output_property_data_length(property.get()));
    return screenNameFromEdid(edid);
}

std::optional<QString> screenNameForDisplay(std::uint32_t display)
{
    return KPQuartzServiceUtility::screenNameForDisplay(display);
}
