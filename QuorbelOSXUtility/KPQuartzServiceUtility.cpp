#include "QuorbelOSXUtility/KPQuartzServiceUtility.h"

#include "QuorbelOSXUtility/DisplayChangeSummary.h"
#include "QuorbelOSXUtility/UtilityLogging.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/randr.h>
#include <xcb/xcb.h>

namespace {

constexpr int kEdidBlockSize = 128;
constexpr int kDescriptorOffsets[] = {54, 72, 90, 108};
constexpr unsigned char kMonitorNameTag = 0xFC;
// EDID blocks are 128 bytes; read up to 8 of them (the length is in 32-bit units).
constexpr std::uint32_t kEdidLongs = 256;

template <typename T> struct FreeDeleter
{
    void operator()(T* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter<T>>;
using Connection = std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)>;

// A connection to the server with RandR 1.3, and the root of its default screen.
struct RandrConnection
{
    Connection conn{nullptr, xcb_disconnect};
    xcb_window_t root = 0;
    QSize sizeMm;

    xcb_connection_t* get() const { return conn.get(); }

    static std::optional<RandrConnection> open(const QByteArray& x11Display)
    {
        RandrConnection r;
        int screenNumber = 0;
        r.conn.reset(xcb_connect(x11Display.isEmpty() ? nullptr : x11Display.constData(), &screenNumber));
        if (xcb_connection_has_error(r.get()))
            return std::nullopt;
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(r.get()));
        for (int i = 0; i < screenNumber && it.rem; ++i)
            xcb_screen_next(&it);
        if (!it.rem)
            return std::nullopt;
        r.root = it.data->root;
        r.sizeMm = QSize(it.data->width_in_millimeters, it.data->height_in_millimeters);
        const xcb_query_extension_reply_t* randr = xcb_get_extension_data(r.get(), &xcb_randr_id);
        if (!randr || !randr->present)
            return std::nullopt;
        Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(r.get(), xcb_randr_query_version(r.get(), 1, 3), nullptr));
        if (!version || (version->major_version == 1 && version->minor_version < 3))
            return std::nullopt;
        return r;
    }
};

xcb_atom_t edidAtom(xcb_connection_t* c)
{
    static const char kEdid[] = "EDID";
    Reply<xcb_intern_atom_reply_t> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof kEdid - 1, kEdid), nullptr));
    return atom ? atom->atom : XCB_NONE;
}

QByteArray edidOf(xcb_connection_t* c, xcb_randr_output_t output, xcb_atom_t atom)
{
    if (atom == XCB_NONE)
        return {};
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_randr_get_output_property_reply_t> property(xcb_randr_get_output_property_reply(
        c, xcb_randr_get_output_property(c, output, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, kEdidLongs, 0, 0),
        &error));
    if (error) {
        std::free(error);
        return {};
    }
    if (!property || property->format != 8)
        return {};
    return QByteArray(reinterpret_cast<const char*>(xcb_randr_get_output_property_data(property.get())),
                      xcb_randr_get_output_property_data_length(property.get()));
}

std::optional<RandrSnapshot> read(const RandrConnection& r)
{
    xcb_connection_t* c = r.get();
    Reply<xcb_randr_get_screen_resources_current_reply_t> res(xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, r.root), nullptr));
    if (!res)
        return std::nullopt;
    RandrSnapshot s;
    s.configTimestamp = res->config_timestamp;
    s.screenSizeMm = r.sizeMm;

    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, r.root), nullptr));
    if (geometry)
        s.screenSize = QSize(geometry->width, geometry->height);
    Reply<xcb_randr_get_screen_size_range_reply_t> range(
        xcb_randr_get_screen_size_range_reply(c, xcb_randr_get_screen_size_range(c, r.root), nullptr));
    s.screenSizeMax = range ? QSize(range->max_width, range->max_height) : s.screenSize;
    Reply<xcb_randr_get_output_primary_reply_t> primary(
        xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, r.root), nullptr));
    s.primary = primary ? primary->output : 0;
    static const char kGlx[] = "GLX";
    Reply<xcb_query_extension_reply_t> glx(
        xcb_query_extension_reply(c, xcb_query_extension(c, sizeof kGlx - 1, kGlx), nullptr));
    s.openGL = glx && glx->present;

    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res.get());
    const int modeCount = xcb_randr_get_screen_resources_current_modes_length(res.get());
    for (int i = 0; i < modeCount; ++i)
        s.modes.push_back({modes[i].id, modes[i].width, modes[i].height});

    const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(res.get());
    const int crtcCount = xcb_randr_get_screen_resources_current_crtcs_length(res.get());
    for (int i = 0; i < crtcCount; ++i) {
        Reply<xcb_randr_get_crtc_info_reply_t> info(xcb_randr_get_crtc_info_reply(
            c, xcb_randr_get_crtc_info(c, crtcs[i], res->config_timestamp), nullptr));
        if (!info)
            continue;
        RandrSnapshot::Crtc crtc;
        crtc.id = crtcs[i];
        if (info->mode != XCB_NONE)
            crtc.rect = QRect(info->x, info->y, info->width, info->height);
        crtc.mode = info->mode;
        crtc.rotation = info->rotation ? info->rotation : 1;
        const xcb_randr_output_t* outputs = xcb_randr_get_crtc_info_outputs(info.get());
        crtc.outputs.assign(outputs, outputs + xcb_randr_get_crtc_info_outputs_length(info.get()));
        const xcb_randr_output_t* possible = xcb_randr_get_crtc_info_possible(info.get());
        crtc.possible.assign(possible, possible + xcb_randr_get_crtc_info_possible_length(info.get()));
        s.crtcs.push_back(std::move(crtc));
    }

    const xcb_atom_t edid = edidAtom(c);
    const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
    const int outputCount = xcb_randr_get_screen_resources_current_outputs_length(res.get());
    for (int i = 0; i < outputCount; ++i) {
        Reply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
            c, xcb_randr_get_output_info(c, outputs[i], res->config_timestamp), nullptr));
        if (!info)
            continue;
        RandrSnapshot::Output output;
        output.id = outputs[i];
        output.name =
            QString::fromUtf8(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                              xcb_randr_get_output_info_name_length(info.get()));
        output.connected = info->connection != XCB_RANDR_CONNECTION_DISCONNECTED;
        output.crtc = info->crtc;
        const xcb_randr_crtc_t* possible = xcb_randr_get_output_info_crtcs(info.get());
        output.crtcs.assign(possible, possible + xcb_randr_get_output_info_crtcs_length(info.get()));
        const xcb_randr_mode_t* outputModes = xcb_randr_get_output_info_modes(info.get());
        output.modes.assign(outputModes, outputModes + xcb_randr_get_output_info_modes_length(info.get()));
        output.preferredModes = info->num_preferred;
        output.mmWidth = info->mm_width;
        output.mmHeight = info->mm_height;
        output.edid = edidOf(c, outputs[i], edid);
        s.outputs.push_back(std::move(output));
    }
    return s;
}

bool setCrtc(xcb_connection_t* c, const RandrMirrorPlan::CrtcConfig& config, std::uint32_t configTimestamp)
{
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_randr_set_crtc_config_reply_t> reply(xcb_randr_set_crtc_config_reply(
        c,
        xcb_randr_set_crtc_config(c, config.crtc, XCB_CURRENT_TIME, configTimestamp,
                                  std::int16_t(config.position.x()), std::int16_t(config.position.y()),
                                  config.mode, config.rotation, std::uint32_t(config.outputs.size()),
                                  config.outputs.data()),
        &error));
    if (error) {
        std::free(error);
        return false;
    }
    return reply && reply->status == XCB_RANDR_SET_CONFIG_SUCCESS;
}

bool setScreenSize(const RandrConnection& r, const RandrSnapshot& s, QSize size)
{
    // Keep the screen's dots per inch.
    auto mm = [](int px, int curPx, int curMm) {
        return std::uint32_t(curPx > 0 && curMm > 0 ? std::int64_t(px) * curMm / curPx : px * 254 / 960);
    };
    xcb_generic_error_t* error = xcb_request_check(
        r.get(), xcb_randr_set_screen_size_checked(
                     r.get(), r.root, std::uint16_t(size.width()), std::uint16_t(size.height()),
                     mm(size.width(), s.screenSize.width(), s.screenSizeMm.width()),
                     mm(size.height(), s.screenSize.height(), s.screenSizeMm.height())));
    std::free(error);
    return error == nullptr;
}

// Applies the plan with the server grabbed. When a step is refused, the steps already taken
// are undone, so a display is never left switched off half-way.
bool apply(const RandrConnection& r, const RandrSnapshot& s, const RandrMirrorPlan& plan)
{
    xcb_connection_t* c = r.get();
    xcb_grab_server(c);
    bool ok = !plan.screenSize.isValid() || setScreenSize(r, s, plan.screenSize);
    std::vector<RandrMirrorPlan::CrtcConfig> undo;
    for (const RandrMirrorPlan::CrtcConfig& change : plan.changes) {
        if (!ok)
            break;
        const RandrSnapshot::Crtc* before = s.crtc(change.crtc);
        ok = before && setCrtc(c, change, s.configTimestamp);
        if (ok)
            undo.push_back(
                {before->id, before->rect.topLeft(), before->mode, before->rotation, before->outputs});
    }
    if (!ok) {
        for (auto it = undo.rbegin(); it != undo.rend(); ++it)
            setCrtc(c, *it, s.configTimestamp);
        if (plan.screenSize.isValid())
            setScreenSize(r, s, s.screenSize);
    }
    xcb_ungrab_server(c);
    xcb_flush(c);
    return ok;
}

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
    const std::optional<RandrConnection> r = RandrConnection::open(x11Display);
    if (!r)
        return std::nullopt;
    return screenNameFromEdid(edidOf(r->get(), display, edidAtom(r->get())));
}

std::optional<RandrSnapshot> KPQuartzServiceUtility::snapshot(const QByteArray& x11Display)
{
    const std::optional<RandrConnection> r = RandrConnection::open(x11Display);
    if (!r)
        return std::nullopt;
    return read(*r);
}

std::vector<std::uint32_t> KPQuartzServiceUtility::getCGDirectDisplays(const QByteArray& x11Display)
{
    const std::optional<RandrSnapshot> s = snapshot(x11Display);
    return s ? s->activeDisplays(kMaxDisplays) : std::vector<std::uint32_t>{};
}

std::vector<KPQuartzServiceUtility::ActiveDisplay>
KPQuartzServiceUtility::activeDisplays(const QByteArray& x11Display)
{
    std::vector<ActiveDisplay> list;
    const std::optional<RandrSnapshot> s = snapshot(x11Display);
    if (!s)
        return list;
    const std::uint32_t main = s->mainDisplay();
    for (std::uint32_t id : s->activeDisplays(kMaxDisplays))
        list.push_back({id, s->boundsOf(id), s->output(id)->name, id == main});
    return list;
}

QString KPQuartzServiceUtility::infoForDisplay(const RandrSnapshot& s, std::uint32_t display)
{
    const RandrSnapshot::Output* output = s.output(display);
    const QRect bounds = s.boundsOf(display);
    const QByteArray edid = output ? output->edid : QByteArray();
    const std::optional<QString> name = screenNameFromEdid(edid);
    return QStringLiteral(
               "[Drovane] display(%1), mode count:%2, isMainDisplay:%3, in mirror: %4, isBuiltIn:%5, "
               "pixelsWide:%6, pixelsHigh:%7, screensize:{%8, %9}, CGDisplayUsesOpenGLAcceleration:%10, "
               "CGDisplayVendorNumber:%11, CGDisplayModelNumber:%12, screen name:%13")
        .arg(display)
        .arg(output ? qsizetype(output->modes.size()) : 0)
        .arg(display != 0 && s.mainDisplay() == display ? 1 : 0)
        .arg(s.mirrorSourceOf(display))
        .arg(output && RandrSnapshot::isBuiltInOutputName(output->name) ? 1 : 0)
        .arg(bounds.width())
        .arg(bounds.height())
        .arg(output ? output->mmWidth : 0)
        .arg(output ? output->mmHeight : 0)
        .arg(s.openGL && output ? 1 : 0)
        .arg(RandrSnapshot::edidVendorNumber(edid))
        .arg(RandrSnapshot::edidModelNumber(edid))
        .arg(name.value_or(QStringLiteral("(null)")));
}

QString KPQuartzServiceUtility::getInfoForDisplay(std::uint32_t display, const QByteArray& x11Display)
{
    return infoForDisplay(snapshot(x11Display).value_or(RandrSnapshot{}), display);
}

void KPQuartzServiceUtility::showInfoForDisplay(std::uint32_t display, const QByteArray& x11Display)
{
    qCInfo(lcDisplay).noquote() << getInfoForDisplay(display, x11Display);
}

bool KPQuartzServiceUtility::isDisplayMirrorMode(std::uint32_t display, const QByteArray& x11Display)
{
    if (display == 0) {
        qCInfo(lcDisplay) << "display is zero, won't query mirrir/extension status";
        return false;
    }
    const std::optional<RandrSnapshot> s = snapshot(x11Display);
    return s && s->mirrorSourceOf(display) != 0;
}

RandrMirrorPlan::Result KPQuartzServiceUtility::setDisplay(std::uint32_t display, bool mirrorMode,
                                                           const QByteArray& x11Display)
{
    using Result = RandrMirrorPlan::Result;
    const std::optional<RandrConnection> r = RandrConnection::open(x11Display);
    std::optional<RandrSnapshot> s = r ? read(*r) : std::nullopt;
    RandrMirrorPlan plan;
    if (!s)
        plan.result = Result::NoServer;
    else
        plan = RandrMirrorPlan::plan(*s, display, mirrorMode);

    if (plan.result == Result::Changed && !apply(*r, *s, plan))
        plan.result = Result::ServerRefused;
    switch (plan.result) {
    case Result::Changed:
        qCInfo(lcDisplay).noquote() << QStringLiteral("display(%1) %2")
                                           .arg(display)
                                           .arg(mirrorMode ? QStringLiteral("now mirrors the main display")
                                                           : QStringLiteral("no longer mirrors"));
        break;
    case Result::AlreadyMirrored:
        break;
    case Result::NotMirrored:
        qCInfo(lcDisplay).noquote()
            << QStringLiteral("The display(%1) is not in mirror mode, no need to remove from mirror set")
                   .arg(display);
        break;
    default:
        qCWarning(lcDisplay).noquote()
            << QStringLiteral("cannot %1 display(%2): %3")
                   .arg(mirrorMode ? QStringLiteral("mirror") : QStringLiteral("unmirror"))
                   .arg(display)
                   .arg(RandrMirrorPlan::toString(plan.result));
        break;
    }
    return plan.result;
}

void KPQuartzServiceUtility::showCGDisplayChangeSummaryFlags(std::uint32_t flags)
{
    for (const QString& name : displayChangeSummaryFlagNames(flags))
        qCInfo(lcDisplay).noquote() << name;
}

std::optional<QString> screenNameForDisplay(std::uint32_t display)
{
    return KPQuartzServiceUtility::screenNameForDisplay(display);
}
