#include "PipeWireScreenSource.h"

#include <cstring>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

struct PipeWireScreenSource::Impl
{
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    spa_source* timer = nullptr;
    QSize size;
    std::atomic<std::uint32_t> node{0};
    std::mutex pictureMutex;
    QByteArray picture;
    bool streaming = false;
    bool cursorMetadata = false;

    void onState(pw_stream_state state)
    {
        streaming = state == PW_STREAM_STATE_STREAMING;
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)
            node = pw_stream_get_node_id(stream);
    }

    void onParamChanged(std::uint32_t id, const spa_pod* param)
    {
        if (id != SPA_PARAM_Format || !param)
            return;
        const int stride = size.width() * 4;
        std::uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* params[3];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * size.height()), SPA_PARAM_BUFFERS_stride,
            SPA_POD_Int(stride)));
        params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        int count = 2;
        if (cursorMetadata)
            params[count++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size, SPA_POD_Int(kCursorMetaSize)));
        pw_stream_update_params(stream, params, count);
    }

    static constexpr int kSide = PipeWireScreenSource::kCursorSide;
    static constexpr int kCursorMetaSize =
        int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + kSide * kSide * 4;

    void fillCursor(spa_buffer* sb)
    {
        spa_meta* meta = spa_buffer_find_meta(sb, SPA_META_Cursor);
        if (!meta || !meta->data || meta->size < std::uint32_t(kCursorMetaSize))
            return;
        auto* cursor = static_cast<spa_meta_cursor*>(meta->data);
        cursor->id = 1;
        cursor->flags = 0;
        cursor->position.x = PipeWireScreenSource::kCursorX;
        cursor->position.y = PipeWireScreenSource::kCursorY;
        cursor->hotspot.x = 0;
        cursor->hotspot.y = 0;
        cursor->bitmap_offset = sizeof(spa_meta_cursor);
        auto* bitmap = SPA_PTROFF(cursor, cursor->bitmap_offset, spa_meta_bitmap);
        bitmap->format = SPA_VIDEO_FORMAT_BGRA;
        bitmap->size.width = kSide;
        bitmap->size.height = kSide;
        bitmap->stride = kSide * 4;
        bitmap->offset = sizeof(spa_meta_bitmap);
        auto* pixels = SPA_PTROFF(bitmap, bitmap->offset, std::uint8_t);
        for (int i = 0; i < kSide * kSide; ++i) {
            pixels[i * 4 + 0] = 0x20; // B
            pixels[i * 4 + 1] = 0xd0; // G
            pixels[i * 4 + 2] = 0x20; // R
            pixels[i * 4 + 3] = 0xff; // A
        }
    }

    // The stream drives the graph: the timer asks for a cycle, the cycle fills a buffer.
    void onTimer()
    {
        if (streaming)
            pw_stream_trigger_process(stream);
    }

    void onProcess()
    {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
        if (!buffer)
            return;
        spa_data& data = buffer->buffer->datas[0];
        const int stride = size.width() * 4;
        const std::size_t bytes = std::size_t(stride) * std::size_t(size.height());
        if (data.data && data.maxsize >= bytes) {
            std::lock_guard lock(pictureMutex);
            if (std::size_t(picture.size()) == bytes)
                std::memcpy(data.data, picture.constData(), bytes);
            data.chunk->offset = 0;
            data.chunk->size = std::uint32_t(bytes);
            data.chunk->stride = stride;
        } else {
            data.chunk->size = 0;
        }
        if (cursorMetadata)
            fillCursor(buffer->buffer);
        pw_stream_queue_buffer(stream, buffer);
    }
};

namespace {

const pw_stream_events kEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
        static_cast<PipeWireScreenSource::Impl*>(data)->onState(state);
    };
    e.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
        static_cast<PipeWireScreenSource::Impl*>(data)->onParamChanged(id, param);
    };
    e.process = [](void* data) { static_cast<PipeWireScreenSource::Impl*>(data)->onProcess(); };
    return e;
}();

} // namespace

PipeWireScreenSource::PipeWireScreenSource() : d(std::make_unique<Impl>())
{
    pw_init(nullptr, nullptr);
}

PipeWireScreenSource::~PipeWireScreenSource()
{
    stop();
}

bool PipeWireScreenSource::start(QSize size, bool cursorMetadata)
{
    m_size = size;
    d->size = size;
    d->cursorMetadata = cursorMetadata;
    d->loop = pw_thread_loop_new("screen-source", nullptr);
    d->context = pw_context_new(pw_thread_loop_get_loop(d->loop), nullptr, 0);
    if (pw_thread_loop_start(d->loop) < 0)
        return false;
    pw_thread_loop_lock(d->loop);
    d->core = pw_context_connect(d->context, nullptr, 0);
    if (!d->core) {
        pw_thread_loop_unlock(d->loop);
        return false;
    }
    d->stream = pw_stream_new(
        d->core, "pikora-screen-emulator",
        pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    pw_stream_add_listener(d->stream, &d->listener, &kEvents, d.get());
    std::uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_rectangle rect = SPA_RECTANGLE(std::uint32_t(size.width()), std::uint32_t(size.height()));
    spa_fraction rate = SPA_FRACTION(10, 1);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size,
        SPA_POD_Rectangle(&rect), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
    pw_stream_connect(d->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    d->timer = pw_loop_add_timer(
        pw_thread_loop_get_loop(d->loop),
        [](void* data, std::uint64_t) { static_cast<Impl*>(data)->onTimer(); }, d.get());
    timespec first{0, 100 * 1000 * 1000}, interval{0, 100 * 1000 * 1000};
    pw_loop_update_timer(pw_thread_loop_get_loop(d->loop), d->timer, &first, &interval, false);
    pw_thread_loop_unlock(d->loop);
    return true;
}

void PipeWireScreenSource::stop()
{
    if (!d->loop)
        return;
    pw_thread_loop_lock(d->loop);
    if (d->timer)
        pw_loop_destroy_source(pw_thread_loop_get_loop(d->loop), d->timer);
    if (d->stream)
        pw_stream_destroy(d->stream);
    if (d->core)
        pw_core_disconnect(d->core);
    pw_thread_loop_unlock(d->loop);
    pw_thread_loop_stop(d->loop);
    pw_context_destroy(d->context);
    pw_thread_loop_destroy(d->loop);
    d = std::make_unique<Impl>();
}

std::uint32_t PipeWireScreenSource::nodeId() const
{
    return d->node.load();
}

void PipeWireScreenSource::setPicture(QByteArray bgrx)
{
    std::lock_guard lock(d->pictureMutex);
    d->picture = std::move(bgrx);
}
