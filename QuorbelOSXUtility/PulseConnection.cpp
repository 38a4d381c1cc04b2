#include "QuorbelOSXUtility/PulseConnection.h"

#include <functional>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>

namespace {

using Clock = std::chrono::steady_clock;

struct MainloopDeleter
{
    void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
struct ContextDeleter
{
    void operator()(pa_context* c) const
    {
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
struct OperationDeleter
{
    void operator()(pa_operation* o) const
    {
        if (pa_operation_get_state(o) == PA_OPERATION_RUNNING)
            pa_operation_cancel(o);
        pa_operation_unref(o);
    }
};
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

QString text(const char* s)
{
    return s ? QString::fromUtf8(s) : QString();
}

// State shared with the C callbacks of one operation.
struct Pending
{
    bool done = false;
    bool failed = false;
    std::uint32_t index = PA_INVALID_INDEX;
    std::vector<PulseConnection::Sink> sinks;
    std::vector<PulseConnection::Source> sources;
    PulseConnection::ServerInfo server;
    std::optional<PulseConnection::Module> module;
};

} // namespace

struct PulseConnection::Impl
{
    std::unique_ptr<pa_mainloop, MainloopDeleter> mainloop;
    std::unique_ptr<pa_context, ContextDeleter> context;
    std::chrono::milliseconds timeout{kDefaultTimeout};

    // Runs the main loop until `done` holds or the timeout passes.
    bool iterateUntil(const std::function<bool()>& done)
    {
        const auto deadline = Clock::now() + timeout;
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            if (pa_mainloop_prepare(mainloop.get(), int(left.count())) < 0 ||
                pa_mainloop_poll(mainloop.get()) < 0 || pa_mainloop_dispatch(mainloop.get()) < 0)
                return false;
        }
        return true;
    }

    QString lastError(int* code) const
    {
        const int errno_ = pa_context_errno(context.get());
        if (code)
            *code = errno_;
        return text(pa_strerror(errno_));
    }

    // Waits for `op` to finish and for its callback to have marked `pending` done.
    bool finish(pa_operation* raw, Pending& pending, const char* what, QString* error, int* code)
    {
        if (!raw) {
            if (error)
                *error = QStringLiteral("%1: %2").arg(QLatin1String(what), lastError(code));
            return false;
        }
        OperationPtr op(raw);
        const bool finished = iterateUntil([&] {
            return pending.done || pa_operation_get_state(op.get()) != PA_OPERATION_RUNNING ||
                   !PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get()));
        });
        if (!finished || !pending.done || pending.failed) {
            if (error)
                *error = finished ? QStringLiteral("%1: %2").arg(QLatin1String(what), lastError(code))
                                  : QStringLiteral("%1: the sound server did not answer in time")
                                        .arg(QLatin1String(what));
            if (!finished && code)
                *code = PA_ERR_TIMEOUT;
            return false;
        }
        return true;
    }
};

PulseConnection::PulseConnection(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

PulseConnection::~PulseConnection() = default;

std::unique_ptr<PulseConnection> PulseConnection::connect(QString* error, std::chrono::milliseconds timeout)
{
    auto impl = std::make_unique<Impl>();
    impl->timeout = timeout;
    impl->mainloop.reset(pa_mainloop_new());
    if (!impl->mainloop) {
        if (error)
            *error = QStringLiteral("cannot create a PulseAudio main loop");
        return nullptr;
    }
    impl->context.reset(pa_context_new(pa_mainloop_get_api(impl->mainloop.get()), "Pikora"));
    if (!impl->context) {
        if (error)
            *error = QStringLiteral("cannot create a PulseAudio context");
        return nullptr;
    }
    if (pa_context_connect(impl->context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        if (error)
            *error = QStringLiteral("cannot connect to the sound server: %1").arg(impl->lastError(nullptr));
        return nullptr;
    }
    pa_context* ctx = impl->context.get();
    const bool settled = impl->iterateUntil([ctx] {
        const pa_context_state_t s = pa_context_get_state(ctx);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    if (!settled || pa_context_get_state(ctx) != PA_CONTEXT_READY) {
        if (error)
            *error =
                settled
                    ? QStringLiteral("cannot connect to the sound server: %1").arg(impl->lastError(nullptr))
                    : QStringLiteral("cannot connect to the sound server: no answer in time");
        return nullptr;
    }
    return std::unique_ptr<PulseConnection>(new PulseConnection(std::move(impl)));
}

std::optional<std::vector<PulseConnection::Sink>> PulseConnection::sinks(QString* error, int* code)
{
    Pending p;
    auto cb = +[](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* pending = static_cast<Pending*>(userdata);
        if (eol < 0)
            pending->failed = true;
        if (eol != 0) {
            pending->done = true;
            return;
        }
        pending->sinks.push_back(
            {info->index, text(info->name), text(info->description), text(info->monitor_source_name)});
    };
    if (!d->finish(pa_context_get_sink_info_list(d->context.get(), cb, &p), p, "list sinks", error, code))
        return std::nullopt;
    return std::move(p.sinks);
}

std::optional<std::vector<PulseConnection::Source>> PulseConnection::sources(QString* error, int* code)
{
    Pending p;
    auto cb = +[](pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* pending = static_cast<Pending*>(userdata);
        if (eol < 0)
            pending->failed = true;
        if (eol != 0) {
            pending->done = true;
            return;
        }
        Source source{info->index, text(info->name), text(info->description), std::nullopt};
        if (info->monitor_of_sink != PA_INVALID_INDEX)
            source.monitorOfSink = info->monitor_of_sink;
        pending->sources.push_back(std::move(source));
    };
    if (!d->finish(pa_context_get_source_info_list(d->context.get(), cb, &p), p, "list sources", error, code))
        return std::nullopt;
    return std::move(p.sources);
}

std::optional<PulseConnection::ServerInfo> PulseConnection::serverInfo(QString* error, int* code)
{
    Pending p;
    auto cb = +[](pa_context*, const pa_server_info* info, void* userdata) {
        auto* pending = static_cast<Pending*>(userdata);
        pending->done = true;
        if (!info) {
            pending->failed = true;
            return;
        }
        pending->server.defaultSinkName = text(info->default_sink_name);
        pending->server.defaultSourceName = text(info->default_source_name);
    };
    if (!d->finish(pa_context_get_server_info(d->context.get(), cb, &p), p, "server info", error, code))
        return std::nullopt;
    return p.server;
}

namespace {
void successCallback(pa_context*, int success, void* userdata)
{
    auto* pending = static_cast<Pending*>(userdata);
    pending->done = true;
    pending->failed = !success;
}
} // namespace

bool PulseConnection::setDefaultSink(const QString& name, QString* error, int* code)
{
    Pending p;
    const QByteArray utf8 = name.toUtf8();
    return d->finish(pa_context_set_default_sink(d->context.get(), utf8.constData(), successCallback, &p), p,
                     "set default sink", error, code);
}

bool PulseConnection::setDefaultSource(const QString& name, QString* error, int* code)
{
    Pending p;
    const QByteArray utf8 = name.toUtf8();
    return d->finish(pa_context_set_default_source(d->context.get(), utf8.constData(), successCallback, &p),
                     p, "set default source", error, code);
}

std::optional<std::uint32_t> PulseConnection::loadModule(const QString& name, const QString& argument,
                                                         QString* error)
{
    Pending p;
    auto cb = +[](pa_context*, std::uint32_t index, void* userdata) {
        auto* pending = static_cast<Pending*>(userdata);
        pending->done = true;
        pending->index = index;
        pending->failed = index == PA_INVALID_INDEX;
    };
    const QByteArray n = name.toUtf8();
    const QByteArray a = argument.toUtf8();
    if (!d->finish(pa_context_load_module(d->context.get(), n.constData(), a.constData(), cb, &p), p,
                   "load module", error, nullptr))
        return std::nullopt;
    return p.index;
}

bool PulseConnection::unloadModule(std::uint32_t index, QString* error)
{
    Pending p;
    return d->finish(pa_context_unload_module(d->context.get(), index, successCallback, &p), p,
                     "unload module", error, nullptr);
}

std::optional<PulseConnection::Module> PulseConnection::module(std::uint32_t index, QString* error)
{
    Pending p;
    auto cb = +[](pa_context*, const pa_module_info* info, int eol, void* userdata) {
        auto* pending = static_cast<Pending*>(userdata);
        if (eol < 0)
            pending->failed = true;
        if (eol != 0) {
            pending->done = true;
            return;
        }
        pending->module = Module{info->index, text(info->name), text(info->argument)};
    };
    if (!d->finish(pa_context_get_module_info(d->context.get(), index, cb, &p), p, "module info", error,
                   nullptr))
        return std::nullopt;
    if (!p.module && error)
        *error = QStringLiteral("no module %1").arg(index);
    return p.module;
}
