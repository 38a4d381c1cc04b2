#include "Pikora/Capture/X11FrameSource.h"

#include "Pikora/Capture/CaptureLogging.h"
#include "Pikora/Capture/ChangeHistory.h"
#include "Pikora/Capture/SurfacePool.h"
#include "QuorbelOSXUtility/KPQuartzServiceUtility.h"
#include "Support/DispatchQueue.h"
#include "Support/DispatchTimer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

namespace {

constexpr int kPoolDepth = 8;

template <typename T> struct FreeDeleter
{
    void operator()(T* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter<T>>;

using Connection = std::shared_ptr<xcb_connection_t>;

// A System V shared-memory segment attached both here and in the X server. The segment is
// marked for removal as soon as both sides have it, so nothing leaks if the process dies.
class ShmMemory final : public SurfaceMemory
{
public:
    static std::unique_ptr<ShmMemory> create(const Connection& conn, std::size_t bytes)
    {
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0)
            return nullptr;
        void* addr = shmat(id, nullptr, 0);
        if (addr == reinterpret_cast<void*>(-1)) {
            shmctl(id, IPC_RMID, nullptr);
            return nullptr;
        }
        const xcb_shm_seg_t seg = xcb_generate_id(conn.get());
        xcb_generic_error_t* error =
            xcb_request_check(conn.get(), xcb_shm_attach_checked(conn.get(), seg, std::uint32_t(id), 0));
        shmctl(id, IPC_RMID, nullptr);
        if (error) {
            std::free(error);
            shmdt(addr);
            return nullptr;
        }
        return std::unique_ptr<ShmMemory>(new ShmMemory(conn, seg, static_cast<std::uint8_t*>(addr), bytes));
    }
    ~ShmMemory() override
    {
        xcb_shm_detach(m_conn.get(), m_seg);
        xcb_flush(m_conn.get());
        shmdt(m_data);
    }
    std::uint8_t* data() override { return m_data; }
    std::size_t size() const override { return m_size; }
    xcb_shm_seg_t segment() const { return m_seg; }

private:
    ShmMemory(Connection conn, xcb_shm_seg_t seg, std::uint8_t* data, std::size_t size)
        : m_conn(std::move(conn)), m_seg(seg), m_data(data), m_size(size)
    {
    }
    Connection m_conn;
    xcb_shm_seg_t m_seg;
    std::uint8_t* m_data;
    std::size_t m_size;
};

// Blends a premultiplied ARGB cursor image into a B,G,R,X surface at (x, y).
void drawCursor(CaptureSurface& surface, int x, int y, int width, int height, const std::uint32_t* argb)
{
    const int x0 = std::max(0, x);
    const int y0 = std::max(0, y);
    const int x1 = std::min(surface.width(), x + width);
    const int y1 = std::min(surface.height(), y + height);
    for (int py = y0; py < y1; ++py) {
        std::uint8_t* row = surface.mutableData() + std::size_t(py) * surface.bytesPerRow();
        const std::uint32_t* src = argb + std::size_t(py - y) * width;
        for (int px = x0; px < x1; ++px) {
            const std::uint32_t c = src[px - x];
            const std::uint32_t a = c >> 24;
            if (a == 0)
                continue;
            std::uint8_t* p = row + std::size_t(px) * 4;
            const std::uint32_t inv = 255 - a;
            p[0] = std::uint8_t(std::min<std::uint32_t>(255, (c & 0xff) + (p[0] * inv + 127) / 255));
            p[1] = std::uint8_t(std::min<std::uint32_t>(255, ((c >> 8) & 0xff) + (p[1] * inv + 127) / 255));
            p[2] = std::uint8_t(std::min<std::uint32_t>(255, ((c >> 16) & 0xff) + (p[2] * inv + 127) / 255));
        }
    }
}

} // namespace

struct X11FrameSource::Impl
{
    QByteArray displayName;
    Connection conn;
    xcb_window_t root = 0;
    QSize rootSize;
    bool pixelFormatOk = false;
    bool shm = false;
    bool damage = false;
    std::uint8_t damageEventBase = 0;
    bool xfixes = false;
    bool randr = false;

    // The running stream; touched by start/stop and by ticks on the stream's queue.
    std::mutex mutex;
    std::unique_ptr<DispatchTimer> timer;
    DispatchQueue* queue = nullptr;
    FrameHandler handler;
    std::shared_ptr<SurfacePool> pool;
    QRect area;
    bool showCursor = true;
    xcb_damage_damage_t damageId = 0;
    // Receives the damaged area at each subtract, so each picture can say which rows changed.
    xcb_xfixes_region_t damagedRegion = 0;
    ChangeHistory history;
    // A capture failed after its damage was taken: the next picture's changes are unknown.
    bool changesLost = true;
    QRect lastCursorRect;
    bool dirty = true;
    // Sequence number of our latest DamageSubtract: damage events generated before the
    // server processed it describe changes that capture has already read.
    std::uint32_t subtractSequence = 0;
    int lastCursorX = INT32_MIN;
    int lastCursorY = INT32_MIN;
    std::uint32_t lastCursorSerial = 0;
    std::uint64_t sequence = 0;
    bool reportedFailure = false;

    std::atomic<std::uint64_t> captured{0};
    std::atomic<std::uint64_t> skipped{0};

    bool connect();
    void tick();
    bool grab(CaptureSurface& surface);
};

bool X11FrameSource::Impl::connect()
{
    int screenNumber = 0;
    xcb_connection_t* raw =
        xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), &screenNumber);
    conn = Connection(raw, [](xcb_connection_t* c) { xcb_disconnect(c); });
    if (xcb_connection_has_error(raw)) {
        qCWarning(lcCapture) << "x11: cannot connect to display"
                             << (displayName.isEmpty() ? qgetenv("DISPLAY") : displayName);
        conn.reset();
        return false;
    }
    const xcb_setup_t* setup = xcb_get_setup(raw);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    const xcb_screen_t* screen = it.data;
    root = screen->root;
    rootSize = QSize(screen->width_in_pixels, screen->height_in_pixels);

    // We hand pixels on as 32-bit little-endian B,G,R,X: check the root visual matches.
    bool depthOk = false;
    for (xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
        if (f.data->depth == screen->root_depth && f.data->bits_per_pixel == 32)
            depthOk = true;
    bool visualOk = false;
    for (xcb_depth_iterator_t di = xcb_screen_allowed_depths_iterator(screen); di.rem; xcb_depth_next(&di))
        for (xcb_visualtype_iterator_t vi = xcb_depth_visuals_iterator(di.data); vi.rem;
             xcb_visualtype_next(&vi))
            if (vi.data->visual_id == screen->root_visual)
                visualOk = vi.data->red_mask == 0xff0000 && vi.data->green_mask == 0xff00 &&
                           vi.data->blue_mask == 0xff;
    pixelFormatOk = depthOk && visualOk && setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST &&
                    (screen->root_depth == 24 || screen->root_depth == 32);
    if (!pixelFormatOk)
        qCWarning(lcCapture) << "x11: the root window's pixel format (depth" << screen->root_depth
                             << ") is not 32-bit BGRX; capture is not supported on this server";

    xcb_prefetch_extension_data(raw, &xcb_shm_id);
    xcb_prefetch_extension_data(raw, &xcb_damage_id);
    xcb_prefetch_extension_data(raw, &xcb_xfixes_id);
    xcb_prefetch_extension_data(raw, &xcb_randr_id);

    if (const xcb_query_extension_reply_t* e = xcb_get_extension_data(raw, &xcb_shm_id); e && e->present) {
        Reply<xcb_shm_query_version_reply_t> v(
            xcb_shm_query_version_reply(raw, xcb_shm_query_version(raw), nullptr));
        shm = bool(v);
    }
    if (const xcb_query_extension_reply_t* e = xcb_get_extension_data(raw, &xcb_damage_id); e && e->present) {
        Reply<xcb_damage_query_version_reply_t> v(
            xcb_damage_query_version_reply(raw, xcb_damage_query_version(raw, 1, 1), nullptr));
        damage = bool(v);
        damageEventBase = e->first_event;
    }
    if (const xcb_query_extension_reply_t* e = xcb_get_extension_data(raw, &xcb_xfixes_id); e && e->present) {
        Reply<xcb_xfixes_query_version_reply_t> v(
            xcb_xfixes_query_version_reply(raw, xcb_xfixes_query_version(raw, 4, 0), nullptr));
        xfixes = bool(v);
    }
    if (const xcb_query_extension_reply_t* e = xcb_get_extension_data(raw, &xcb_randr_id); e && e->present) {
        Reply<xcb_randr_query_version_reply_t> v(
            xcb_randr_query_version_reply(raw, xcb_randr_query_version(raw, 1, 3), nullptr));
        randr = v && (v->major_version > 1 || v->minor_version >= 3);
    }
    qCInfo(lcCapture) << "x11: connected; MIT-SHM" << shm << "DAMAGE" << damage << "XFIXES" << xfixes
                      << "RandR" << randr;
    return true;
}

X11FrameSource::X11FrameSource(const QByteArray& displayName) : d(std::make_shared<Impl>())
{
    d->displayName = displayName;
    d->connect();
}

X11FrameSource::~X11FrameSource()
{
    stop();
}

bool X11FrameSource::isConnected() const
{
    return bool(d->conn);
}

bool X11FrameSource::usesSharedMemory() const
{
    return d->shm;
}

std::uint64_t X11FrameSource::framesCaptured() const
{
    return d->captured.load();
}

std::uint64_t X11FrameSource::framesSkipped() const
{
    return d->skipped.load();
}

std::vector<DesktopFrameSource::Display> X11FrameSource::displays()
{
    std::vector<Display> list;
    if (!d->conn)
        return list;
    if (d->randr) {
        for (const KPQuartzServiceUtility::ActiveDisplay& active :
             KPQuartzServiceUtility::activeDisplays(d->displayName)) {
            Display display;
            display.id = active.id;
            // X11 coordinates are device pixels already: one point per pixel.
            display.bounds = active.bounds;
            display.scale = 1.0;
            display.outputName = active.outputName;
            display.primary = active.main;
            list.push_back(display);
        }
    }
    if (list.empty() && d->rootSize.isValid()) {
        // No RandR outputs: the whole root window is one display, named by the root's id.
        Display display;
        display.id = d->root;
        display.bounds = QRect(QPoint(0, 0), d->rootSize);
        display.outputName = QStringLiteral("root");
        display.primary = true;
        list.push_back(display);
    }
    return list;
}

std::optional<QString> X11FrameSource::screenName(std::uint32_t display)
{
    return KPQuartzServiceUtility::screenNameForDisplay(display, d->displayName);
}

bool X11FrameSource::start(std::uint32_t display, QSize pixelSize, double fps, bool showCursor,
                           DispatchQueue& queue, FrameHandler handler)
{
    stop();
    if (!d->conn || !d->pixelFormatOk)
        return false;
    QRect area;
    for (const Display& candidate : displays())
        if (candidate.id == display)
            area = QRect(candidate.bounds.topLeft(), candidate.bounds.size() * candidate.scale);
    if (area.isEmpty()) {
        qCWarning(lcCapture) << "x11: no display" << display;
        return false;
    }
    if (pixelSize.isValid() && !pixelSize.isEmpty() && pixelSize != area.size()) {
        qCInfo(lcCapture) << "x11: display" << display << "is" << area.size() << "- capturing that instead of"
                          << pixelSize;
    }
    area = area.intersected(QRect(QPoint(0, 0), d->rootSize));
    if (area.isEmpty())
        return false;

    xcb_connection_t* c = d->conn.get();
    std::lock_guard lock(d->mutex);
    SurfacePool::MemoryFactory factory;
    if (d->shm) {
        Connection conn = d->conn;
        factory = [conn](std::size_t bytes) -> std::unique_ptr<SurfaceMemory> {
            return ShmMemory::create(conn, bytes);
        };
    }
    d->pool = SurfacePool::create(kPoolDepth, area.width(), area.height(), factory);
    d->area = area;
    d->showCursor = showCursor && d->xfixes;
    d->dirty = true;
    d->lastCursorX = d->lastCursorY = INT32_MIN;
    d->lastCursorSerial = 0;
    d->reportedFailure = false;
    d->queue = &queue;
    d->handler = std::move(handler);
    d->history.reset();
    d->changesLost = true;
    d->lastCursorRect = QRect();
    if (d->damage) {
        d->damageId = xcb_generate_id(c);
        xcb_damage_create(c, d->damageId, d->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        if (d->xfixes) {
            d->damagedRegion = xcb_generate_id(c);
            xcb_xfixes_create_region(c, d->damagedRegion, 0, nullptr);
        }
        xcb_flush(c);
    }
    const double rate = fps > 0 ? fps : 30.0;
    std::weak_ptr<Impl> weak = d;
    d->timer = std::make_unique<DispatchTimer>(queue, [weak] {
        if (auto impl = weak.lock())
            impl->tick();
    });
    d->timer->start(std::chrono::nanoseconds::zero(), std::chrono::nanoseconds(std::llround(1e9 / rate)),
                    std::chrono::nanoseconds::zero(), true);
    return true;
}

void X11FrameSource::stop()
{
    std::unique_ptr<DispatchTimer> timer;
    DispatchQueue* queue = nullptr;
    {
        std::lock_guard lock(d->mutex);
        if (!d->timer)
            return;
        d->timer->cancel();
        timer = std::move(d->timer);
        queue = d->queue;
    }
    // Wait for a tick that is running now; it sees the cancelled timer gone afterwards.
    if (queue && !queue->isCurrent())
        queue->sync([] {});
    timer.reset();
    std::lock_guard lock(d->mutex);
    if (d->damage && d->damageId) {
        xcb_damage_destroy(d->conn.get(), d->damageId);
        if (d->damagedRegion)
            xcb_xfixes_destroy_region(d->conn.get(), d->damagedRegion);
        xcb_flush(d->conn.get());
        d->damageId = 0;
        d->damagedRegion = 0;
    }
    d->handler = nullptr;
    d->pool.reset();
    d->queue = nullptr;
}

bool X11FrameSource::Impl::grab(CaptureSurface& surface)
{
    xcb_connection_t* c = conn.get();
    if (auto* memory = dynamic_cast<ShmMemory*>(surface.memory())) {
        xcb_generic_error_t* error = nullptr;
        Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            c,
            xcb_shm_get_image(c, root, std::int16_t(area.x()), std::int16_t(area.y()),
                              std::uint16_t(area.width()), std::uint16_t(area.height()), ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, memory->segment(), 0),
            &error));
        if (error) {
            std::free(error);
            return false;
        }
        return bool(reply);
    }
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, std::int16_t(area.x()), std::int16_t(area.y()),
                      std::uint16_t(area.width()), std::uint16_t(area.height()), ~0u),
        &error));
    if (error) {
        std::free(error);
        return false;
    }
    if (!reply)
        return false;
    const std::size_t rowBytes = std::size_t(area.width()) * 4;
    const std::size_t needed = rowBytes * std::size_t(area.height());
    if (std::size_t(xcb_get_image_data_length(reply.get())) < needed)
        return false;
    const std::uint8_t* src = xcb_get_image_data(reply.get());
    for (int y = 0; y < area.height(); ++y)
        std::memcpy(surface.mutableData() + std::size_t(y) * surface.bytesPerRow(), src + y * rowBytes,
                    rowBytes);
    return true;
}

void X11FrameSource::Impl::tick()
{
    std::unique_lock lock(mutex);
    if (!timer || timer->isCancelled() || !pool)
        return;
    xcb_connection_t* c = conn.get();

    // Collect damage since the last tick.
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        if (damage && (event->response_type & 0x7f) == damageEventBase + XCB_DAMAGE_NOTIFY &&
            std::int32_t(event->full_sequence - subtractSequence) >= 0)
            dirty = true;
        std::free(event);
    }
    if (!damage)
        dirty = true; // without Damage every tick captures

    Reply<xcb_xfixes_get_cursor_image_reply_t> cursor;
    if (showCursor) {
        cursor.reset(xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
        if (cursor && (cursor->x != lastCursorX || cursor->y != lastCursorY ||
                       cursor->cursor_serial != lastCursorSerial))
            dirty = true;
    }
    if (!dirty)
        return;

    std::shared_ptr<CaptureSurface> surface = pool->acquire();
    if (!surface) {
        skipped.fetch_add(1);
        return; // still dirty: try again next tick
    }
    // Re-arm damage before reading, so changes made while we read raise a new event. The
    // damage taken off is what changed since the last capture.
    std::optional<std::vector<RowSpan>> changed;
    if (damage && damageId) {
        subtractSequence = xcb_damage_subtract(c, damageId, XCB_NONE, damagedRegion).sequence;
        if (damagedRegion) {
            Reply<xcb_xfixes_fetch_region_reply_t> region(
                xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, damagedRegion), nullptr));
            if (region) {
                std::vector<RowSpan> rows;
                const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(region.get());
                const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
                for (int i = 0; i < count; ++i) {
                    const QRect r(rects[i].x, rects[i].y, rects[i].width, rects[i].height);
                    if (r.intersects(area))
                        rows.push_back({r.top() - area.y(), r.bottom() + 1 - area.y()});
                }
                changed = std::move(rows);
            }
        }
    }
    const auto captureTime = std::chrono::steady_clock::now();
    if (!grab(*surface)) {
        if (!reportedFailure)
            qCWarning(lcCapture) << "x11: reading the screen area" << area << "failed";
        reportedFailure = true;
        changesLost = true;
        return;
    }
    dirty = false;
    if (changed && lastCursorRect.isValid())
        changed->push_back({lastCursorRect.top(), lastCursorRect.bottom() + 1});
    lastCursorRect = QRect();
    if (cursor) {
        lastCursorX = cursor->x;
        lastCursorY = cursor->y;
        lastCursorSerial = cursor->cursor_serial;
        const QRect drawn(cursor->x - cursor->xhot - area.x(), cursor->y - cursor->yhot - area.y(),
                          cursor->width, cursor->height);
        drawCursor(*surface, drawn.x(), drawn.y(), drawn.width(), drawn.height(),
                   xcb_xfixes_get_cursor_image_cursor_image(cursor.get()));
        lastCursorRect = drawn;
        if (changed)
            changed->push_back({drawn.top(), drawn.bottom() + 1});
    }
    if (changesLost)
        changed.reset();
    changesLost = false;
    surface->captureTime = captureTime;
    surface->changes = history.record(surface->generation(), std::move(changed), surface->height());
    surface->sequence = ++sequence;
    captured.fetch_add(1);
    FrameHandler deliver = handler;
    lock.unlock();
    if (deliver)
        deliver(std::move(surface));
}
