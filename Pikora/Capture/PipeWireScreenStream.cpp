#include "Pikora/Capture/PipeWireScreenStream.h"

#include "Pikora/Capture/CaptureLogging.h"
#include "Pikora/Capture/StreamCursor.h"
#include "Pikora/Capture/StreamFrameAssembler.h"

#include <atomic>
#include <cstddef>
#include <linux/dma-buf.h>
#include <mutex>
#include <pipewire/pipewire.h>
#include <set>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

// StreamCursor reads the cursor metadata by these offsets and format numbers.
static_assert(sizeof(spa_meta_cursor) == StreamCursor::kCursorRecordSize);
static_assert(offsetof(spa_meta_cursor, position) == 8 && offsetof(spa_meta_cursor, hotspot) == 16 &&
              offsetof(spa_meta_cursor, bitmap_offset) == 24);
static_assert(sizeof(spa_meta_bitmap) == StreamCursor::kBitmapRecordSize);
static_assert(offsetof(spa_meta_bitmap, size) == 4 && offsetof(spa_meta_bitmap, stride) == 12 &&
              offsetof(spa_meta_bitmap, offset) == 16);
static_assert(SPA_VIDEO_FORMAT_RGBx == StreamCursor::kFormatRGBx &&
              SPA_VIDEO_FORMAT_BGRx == StreamCursor::kFormatBGRx &&
              SPA_VIDEO_FORMAT_xRGB == StreamCursor::kFormatxRGB &&
              SPA_VIDEO_FORMAT_xBGR == StreamCursor::kFormatxBGR &&
              SPA_VIDEO_FORMAT_RGBA == StreamCursor::kFormatRGBA &&
              SPA_VIDEO_FORMAT_BGRA == StreamCursor::kFormatBGRA &&
              SPA_VIDEO_FORMAT_ARGB == StreamCursor::kFormatARGB &&
              SPA_VIDEO_FORMAT_ABGR == StreamCursor::kFormatABGR);

namespace {
// Room for the cursor record with a bitmap of side x side pixels.
constexpr int cursorMetaSize(int side)
{
    return int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + side * side * 4;
}
} // namespace

namespace {

struct LoopDeleter
{
    void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
struct ContextDeleter
{
    void operator()(pw_context* context) const { pw_context_destroy(context); }
};

// One mmap of a buffer's memory, shared by the stream and any surface lent over it.
class Mapping
{
public:
    Mapping(void* base, std::size_t length) : m_base(base), m_length(length) {}
    ~Mapping() { ::munmap(m_base, m_length); }
    std::uint8_t* base() const { return static_cast<std::uint8_t*>(m_base); }

private:
    void* m_base;
    std::size_t m_length;
};

// What a pw_buffer's user_data points at.
struct BufferInfo
{
    std::shared_ptr<Mapping> mapping;
    const std::uint8_t* data = nullptr; // first byte of the data (mapoffset applied)
    std::size_t size = 0;
    bool dmaBuf = false;
    int fd = -1;
};

std::optional<StreamFrameLayout::Format> formatOf(std::uint32_t spaFormat)
{
    using F = StreamFrameLayout::Format;
    switch (spaFormat) {
    case SPA_VIDEO_FORMAT_BGRx:
        return F::BGRx;
    case SPA_VIDEO_FORMAT_BGRA:
        return F::BGRA;
    case SPA_VIDEO_FORMAT_RGBx:
        return F::RGBx;
    case SPA_VIDEO_FORMAT_RGBA:
        return F::RGBA;
    case SPA_VIDEO_FORMAT_xRGB:
        return F::xRGB;
    case SPA_VIDEO_FORMAT_ARGB:
        return F::ARGB;
    case SPA_VIDEO_FORMAT_xBGR:
        return F::xBGR;
    case SPA_VIDEO_FORMAT_ABGR:
        return F::ABGR;
    default:
        return std::nullopt;
    }
}

void dmaBufSync(int fd, std::uint64_t flags)
{
    dma_buf_sync sync{};
    sync.flags = flags | DMA_BUF_SYNC_READ;
    while (::ioctl(fd, DMA_BUF_IOCTL_SYNC, &sync) == -1 && errno == EINTR) {
    }
}

} // namespace

struct PipeWireScreenStream::Impl : std::enable_shared_from_this<PipeWireScreenStream::Impl>
{
    std::unique_ptr<pw_thread_loop, LoopDeleter> loop;
    std::unique_ptr<pw_context, ContextDeleter> context;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{};
    spa_hook streamListener{};
    Callbacks callbacks;
    StreamFrameAssembler assembler;
    StreamCursor cursor; // stream thread only
    std::optional<StreamFrameLayout::Format> format;
    QSize size;
    int bufferCount = 0;
    bool connected = false;
    bool endedReported = false;
    bool stopping = false;

    // Guards `alive` and `known` for buffer give-backs from other threads. Taken before the
    // loop's own lock, never after it.
    std::mutex giveBackMutex;
    bool alive = true;
    std::set<pw_buffer*> known;

    void reportEnded(const QString& reason)
    {
        if (endedReported || stopping)
            return;
        endedReported = true;
        qCInfo(lcCapture).noquote() << QStringLiteral("pipewire: stream ended: %1").arg(reason);
        if (callbacks.ended)
            callbacks.ended(reason);
    }

    void giveBack(pw_buffer* buffer)
    {
        if (pw_thread_loop_in_thread(loop.get())) {
            if (known.count(buffer))
                pw_stream_queue_buffer(stream, buffer);
            return;
        }
        std::lock_guard lock(giveBackMutex);
        if (!alive)
            return;
        pw_thread_loop_lock(loop.get());
        if (known.count(buffer))
            pw_stream_queue_buffer(stream, buffer);
        pw_thread_loop_unlock(loop.get());
    }

    void onParamChanged(std::uint32_t id, const spa_pod* param)
    {
        if (id != SPA_PARAM_Format || !param)
            return;
        std::uint32_t mediaType = 0, mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
            mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
            return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0) {
            reportEnded(QStringLiteral("the stream's format cannot be read"));
            return;
        }
        format = formatOf(info.format);
        size = QSize(int(info.size.width), int(info.size.height));
        qCInfo(lcCapture).noquote() << QStringLiteral("pipewire: format %1 %2x%3")
                                           .arg(format ? StreamFrameLayout::name(*format) : "unsupported")
                                           .arg(size.width())
                                           .arg(size.height());
        if (!format) {
            reportEnded(QStringLiteral("the stream's pixel format is not supported"));
            return;
        }
        if (callbacks.sizeChanged && size.isValid())
            callbacks.sizeChanged(size);

        std::uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* params[4];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr) |
                                     (1 << SPA_DATA_DmaBuf))));
        params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
        // The pointer, where the portal sends it beside the picture.
        params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64), cursorMetaSize(1), cursorMetaSize(256))));
        pw_stream_update_params(stream, params, 4);
    }

    void onAddBuffer(pw_buffer* buffer)
    {
        auto* info = new BufferInfo;
        buffer->user_data = info;
        known.insert(buffer);
        assembler.setBufferCount(++bufferCount);
        spa_buffer* sb = buffer->buffer;
        if (!sb || sb->n_datas < 1)
            return;
        spa_data& data = sb->datas[0];
        qCDebug(lcCapture) << "pipewire: buffer of type" << data.type << "size" << data.maxsize;
        if (data.type == SPA_DATA_MemPtr) {
            info->data = static_cast<const std::uint8_t*>(data.data);
            info->size = data.data ? data.maxsize : 0;
            return;
        }
        if (data.type != SPA_DATA_MemFd && data.type != SPA_DATA_DmaBuf)
            return;
        const std::size_t length = std::size_t(data.mapoffset) + std::size_t(data.maxsize);
        void* base = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, int(data.fd), 0);
        if (base == MAP_FAILED) {
            qCWarning(lcCapture) << "pipewire: cannot map a buffer:" << strerror(errno);
            return;
        }
        info->mapping = std::make_shared<Mapping>(base, length);
        info->data = info->mapping->base() + data.mapoffset;
        info->size = data.maxsize;
        info->dmaBuf = data.type == SPA_DATA_DmaBuf;
        info->fd = int(data.fd);
    }

    void onRemoveBuffer(pw_buffer* buffer)
    {
        {
            // A give-back from another thread holds this lock before the loop's.
            known.erase(buffer);
        }
        assembler.setBufferCount(--bufferCount);
        delete static_cast<BufferInfo*>(buffer->user_data);
        buffer->user_data = nullptr;
    }

    void onProcess()
    {
        pw_buffer* newest = nullptr;
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream)) {
            if (newest)
                pw_stream_queue_buffer(stream, newest);
            newest = next;
        }
        if (!newest)
            return;
        auto* info = static_cast<BufferInfo*>(newest->user_data);
        spa_buffer* sb = newest->buffer;
        if (!info || !format || !sb || sb->n_datas < 1 || !sb->datas[0].chunk) {
            pw_stream_queue_buffer(stream, newest);
            return;
        }
        const spa_data& data = sb->datas[0];
        StreamFrameLayout::Buffer buffer;
        buffer.format = *format;
        buffer.size = size;
        buffer.data = info->data;
        buffer.mappedSize = info->size;
        buffer.chunkOffset = data.chunk->offset;
        buffer.chunkSize = data.chunk->size;
        buffer.chunkStride = data.chunk->stride;
        buffer.corrupted = (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0;
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(sb, SPA_META_Header, sizeof(spa_meta_header))))
            buffer.corrupted = buffer.corrupted || (header->flags & SPA_META_HEADER_FLAG_CORRUPTED);
        if (auto* crop = static_cast<spa_meta_region*>(
                spa_buffer_find_meta_data(sb, SPA_META_VideoCrop, sizeof(spa_meta_region)))) {
            if (spa_meta_region_is_valid(crop))
                buffer.crop = QRect(crop->region.position.x, crop->region.position.y,
                                    int(crop->region.size.width), int(crop->region.size.height));
        }

        if (spa_meta* meta = spa_buffer_find_meta(sb, SPA_META_Cursor); meta && meta->data) {
            if (cursor.update(static_cast<const std::uint8_t*>(meta->data), meta->size) ==
                StreamCursor::Update::Refused) {
                static std::atomic<int> logged{0};
                if (logged.fetch_add(1) < 5)
                    qCWarning(lcCapture) << "pipewire: cursor metadata refused";
            }
        }
        // A cursor to draw needs a picture of our own: the stream's buffer is never written.
        const bool drawCursor = cursor.visible();

        StreamFrameAssembler::Outcome outcome;
        if (info->dmaBuf) {
            dmaBufSync(info->fd, DMA_BUF_SYNC_START);
            outcome = assembler.take(buffer, false, nullptr, nullptr);
            dmaBufSync(info->fd, DMA_BUF_SYNC_END);
            pw_stream_queue_buffer(stream, newest);
        } else {
            // Memory we mapped ourselves stays valid for a lent surface even after the
            // stream is gone; a pointer the library mapped does not.
            const bool lendable = info->mapping != nullptr && !drawCursor;
            std::weak_ptr<Impl> weak = weak_from_this();
            outcome = assembler.take(buffer, lendable, info->mapping, [weak, newest] {
                if (auto self = weak.lock())
                    self->giveBack(newest);
            });
        }
        if (outcome.result != StreamFrameLayout::Result::Ok &&
            outcome.result != StreamFrameLayout::Result::NoData &&
            outcome.result != StreamFrameLayout::Result::Corrupted) {
            static std::atomic<int> logged{0};
            if (logged.fetch_add(1) < 5)
                qCWarning(lcCapture).noquote() << QStringLiteral("pipewire: buffer refused: %1")
                                                      .arg(StreamFrameLayout::name(outcome.result));
        }
        if (outcome.surface && drawCursor && !outcome.lent)
            cursor.drawInto(outcome.surface->mutableData(), outcome.surface->width(),
                            outcome.surface->height(), outcome.surface->bytesPerRow());
        if (outcome.surface && callbacks.frame)
            callbacks.frame(std::move(outcome.surface));
    }
};

namespace {

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* data, pw_stream_state old, pw_stream_state state, const char* error) {
        auto* d = static_cast<PipeWireScreenStream::Impl*>(data);
        qCDebug(lcCapture) << "pipewire: state" << pw_stream_state_as_string(old) << "->"
                           << pw_stream_state_as_string(state);
        if (state == PW_STREAM_STATE_STREAMING || state == PW_STREAM_STATE_PAUSED)
            d->connected = true;
        if (state == PW_STREAM_STATE_ERROR)
            d->reportEnded(
                QStringLiteral("stream error: %1").arg(QString::fromUtf8(error ? error : "unknown")));
        else if (state == PW_STREAM_STATE_UNCONNECTED && d->connected)
            d->reportEnded(QStringLiteral("the compositor ended the stream"));
    };
    events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
        static_cast<PipeWireScreenStream::Impl*>(data)->onParamChanged(id, param);
    };
    events.add_buffer = [](void* data, pw_buffer* buffer) {
        static_cast<PipeWireScreenStream::Impl*>(data)->onAddBuffer(buffer);
    };
    events.remove_buffer = [](void* data, pw_buffer* buffer) {
        static_cast<PipeWireScreenStream::Impl*>(data)->onRemoveBuffer(buffer);
    };
    events.process = [](void* data) { static_cast<PipeWireScreenStream::Impl*>(data)->onProcess(); };
    return events;
}();

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = [](void* data, std::uint32_t id, int, int res, const char* message) {
        auto* d = static_cast<PipeWireScreenStream::Impl*>(data);
        if (id == PW_ID_CORE && res == -EPIPE)
            d->reportEnded(QStringLiteral("the screen-cast service went away"));
        else if (id == PW_ID_CORE)
            qCWarning(lcCapture).noquote() << QStringLiteral("pipewire: error %1: %2")
                                                  .arg(res)
                                                  .arg(QString::fromUtf8(message ? message : ""));
    };
    return events;
}();

std::once_flag g_pipewireInit;

} // namespace

PipeWireScreenStream::PipeWireScreenStream() : d(std::make_shared<Impl>()) {}

PipeWireScreenStream::~PipeWireScreenStream()
{
    stop();
}

bool PipeWireScreenStream::start(int fd, std::uint32_t nodeId, double fps, Callbacks callbacks,
                                 QString* error)
{
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        if (fd >= 0)
            ::close(fd);
        stop();
        return false;
    };
    std::call_once(g_pipewireInit, [] { pw_init(nullptr, nullptr); });
    d->callbacks = std::move(callbacks);
    d->loop.reset(pw_thread_loop_new("pikora-pipewire", nullptr));
    if (!d->loop)
        return fail(QStringLiteral("cannot create the PipeWire loop"));
    d->context.reset(pw_context_new(pw_thread_loop_get_loop(d->loop.get()), nullptr, 0));
    if (!d->context)
        return fail(QStringLiteral("cannot create the PipeWire context"));
    if (pw_thread_loop_start(d->loop.get()) < 0)
        return fail(QStringLiteral("cannot start the PipeWire loop"));

    pw_thread_loop_lock(d->loop.get());
    d->core = pw_context_connect_fd(d->context.get(), fd, nullptr, 0);
    fd = -1; // the context owns it now, also on failure
    if (!d->core) {
        pw_thread_loop_unlock(d->loop.get());
        return fail(QStringLiteral("cannot connect to the screen-cast stream: %1").arg(strerror(errno)));
    }
    pw_core_add_listener(d->core, &d->coreListener, &kCoreEvents, d.get());
    d->stream = pw_stream_new(d->core, "Pikora screen",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!d->stream) {
        pw_thread_loop_unlock(d->loop.get());
        return fail(QStringLiteral("cannot create the PipeWire stream"));
    }
    pw_stream_add_listener(d->stream, &d->streamListener, &kStreamEvents, d.get());

    std::uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_rectangle defSize = SPA_RECTANGLE(1920, 1080);
    spa_rectangle minSize = SPA_RECTANGLE(1, 1);
    spa_rectangle maxSize = SPA_RECTANGLE(StreamFrameLayout::kMaxDimension, StreamFrameLayout::kMaxDimension);
    const int rate = fps > 0 && fps < 1000 ? int(fps + 0.5) : 30;
    spa_fraction defRate = SPA_FRACTION(std::uint32_t(rate), 1);
    spa_fraction minRate = SPA_FRACTION(0, 1);
    spa_fraction maxRate = SPA_FRACTION(1000, 1);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(9, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                               SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_xRGB,
                               SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_xBGR, SPA_VIDEO_FORMAT_ABGR),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
    const int rc =
        pw_stream_connect(d->stream, PW_DIRECTION_INPUT, nodeId, PW_STREAM_FLAG_AUTOCONNECT, params, 1);
    pw_thread_loop_unlock(d->loop.get());
    if (rc < 0)
        return fail(
            QStringLiteral("cannot connect to the screen-cast node %1: %2").arg(nodeId).arg(strerror(-rc)));
    return true;
}

void PipeWireScreenStream::stop()
{
    if (!d->loop)
        return;
    {
        std::lock_guard lock(d->giveBackMutex);
        d->alive = false;
    }
    pw_thread_loop_lock(d->loop.get());
    d->stopping = true;
    if (d->stream) {
        pw_stream_disconnect(d->stream);
        pw_stream_destroy(d->stream);
        d->stream = nullptr;
    }
    if (d->core) {
        spa_hook_remove(&d->coreListener);
        pw_core_disconnect(d->core);
        d->core = nullptr;
    }
    pw_thread_loop_unlock(d->loop.get());
    pw_thread_loop_stop(d->loop.get());
    d->context.reset();
    d->loop.reset();
}

PipeWireScreenStream::Statistics PipeWireScreenStream::statistics() const
{
    Statistics s;
    s.lent = d->assembler.framesLent();
    s.copied = d->assembler.framesCopied();
    s.refused = d->assembler.framesRefused();
    s.skipped = d->assembler.framesSkipped();
    s.buffers = d->bufferCount;
    return s;
}
