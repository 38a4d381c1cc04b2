#include "QuorbelOSXUtility/DisplayReconfigurationWatcher.h"

#include "QuorbelOSXUtility/DisplayChangeSummary.h"
#include "QuorbelOSXUtility/KPQuartzServiceUtility.h"
#include "QuorbelOSXUtility/UtilityLogging.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cstdlib>
#include <set>
#include <xcb/randr.h>
#include <xcb/xcb.h>

struct DisplayReconfigurationWatcher::Impl
{
    QByteArray x11Display;
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> conn{nullptr, xcb_disconnect};
    std::uint8_t randrEventBase = 0;
    QSocketNotifier* notifier = nullptr;
    QTimer* settle = nullptr;
    RandrSnapshot last;
};

DisplayReconfigurationWatcher::DisplayReconfigurationWatcher(const QByteArray& x11Display, QObject* parent)
    : QObject(parent), d(std::make_unique<Impl>())
{
    d->x11Display = x11Display;
    const std::optional<RandrSnapshot> first = KPQuartzServiceUtility::snapshot(x11Display);
    if (!first) {
        qCInfo(lcDisplay) << "no X server with RandR 1.3: display changes are not watched";
        return;
    }
    d->last = *first;
    int screenNumber = 0;
    d->conn.reset(xcb_connect(x11Display.isEmpty() ? nullptr : x11Display.constData(), &screenNumber));
    xcb_connection_t* c = d->conn.get();
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (xcb_connection_has_error(c) || !randr || !randr->present || !it.rem) {
        d->conn.reset();
        return;
    }
    d->randrEventBase = randr->first_event;
    std::free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr));
    xcb_generic_error_t* error =
        xcb_request_check(c, xcb_randr_select_input_checked(c, it.data->root,
                                                            XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                                                XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                                                XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE));
    if (error) {
        std::free(error);
        d->conn.reset();
        return;
    }
    d->settle = new QTimer(this);
    d->settle->setSingleShot(true);
    d->settle->setInterval(kSettleMs);
    connect(d->settle, &QTimer::timeout, this, &DisplayReconfigurationWatcher::compare);
    d->notifier = new QSocketNotifier(xcb_get_file_descriptor(c), QSocketNotifier::Read, this);
    connect(d->notifier, &QSocketNotifier::activated, this, &DisplayReconfigurationWatcher::readEvents);
    readEvents(); // anything already queued
}

DisplayReconfigurationWatcher::~DisplayReconfigurationWatcher() = default;

bool DisplayReconfigurationWatcher::isWatching() const
{
    return d->conn != nullptr;
}

void DisplayReconfigurationWatcher::readEvents()
{
    xcb_connection_t* c = d->conn.get();
    if (!c)
        return;
    bool changed = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == d->randrEventBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
            type == d->randrEventBase + XCB_RANDR_NOTIFY)
            changed = true;
        std::free(event);
    }
    if (xcb_connection_has_error(c)) {
        qCWarning(lcDisplay) << "lost the X server: display changes are no longer watched";
        d->notifier->setEnabled(false);
        d->conn.reset();
        return;
    }
    if (changed)
        d->settle->start();
}

void DisplayReconfigurationWatcher::compare()
{
    const std::optional<RandrSnapshot> now = KPQuartzServiceUtility::snapshot(d->x11Display);
    if (!now)
        return;
    std::set<std::uint32_t> displays;
    for (const RandrSnapshot* s : {static_cast<const RandrSnapshot*>(&d->last), &*now})
        for (const RandrSnapshot::Output& o : s->outputs)
            displays.insert(o.id);
    const RandrSnapshot before = d->last;
    d->last = *now;
    for (std::uint32_t display : displays) {
        if (const std::uint32_t flags = displayChangeSummaryFlags(before, *now, display))
            emit displayChanged(display, flags);
    }
}
