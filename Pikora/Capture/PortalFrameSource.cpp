#include "Pikora/Capture/PortalFrameSource.h"

#include "Pikora/Capture/CaptureLogging.h"
#include "Pikora/Capture/PipeWireScreenStream.h"
#include "Pikora/Capture/ScreenCastPortal.h"
#include "Support/DispatchQueue.h"

#include <QDBusConnection>
#include <QMetaObject>
#include <QThread>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace {

std::mutex g_configMutex;
PortalFrameSource::TokenStore g_tokenStore;
PortalFrameSource::NoticeHandler g_noticeHandler;
std::function<QSize()> g_sizeHint;
PortalFrameSource::Timeouts g_timeouts;
QSize g_lastStreamSize;
PortalFrameSource::PointerTarget g_pointerTarget;
PortalFrameSource::PointerMode g_pointerMode = PortalFrameSource::PointerMode::Off;

// Pointer events queued to the portal's thread and not yet sent; more are dropped (the
// receiver sends a steady stream of moves, and a late move is worth nothing).
constexpr int kMaxPointerEventsQueued = 64;

constexpr std::chrono::milliseconds kThreadStopTimeout{3000};

void notify(PortalFrameSource::Notice notice, const QString& message)
{
    PortalFrameSource::NoticeHandler handler;
    {
        std::lock_guard lock(g_configMutex);
        handler = g_noticeHandler;
    }
    qCInfo(lcCapture).noquote() << QStringLiteral("portal: %1").arg(message);
    if (handler)
        handler(notice, message);
}

QString userMessage(const ScreenCastPortal::Result& result)
{
    switch (result.outcome) {
    case ScreenCastPortal::Outcome::PortalMissing:
        return QObject::tr("Cannot share the screen: this desktop offers no screen sharing");
    case ScreenCastPortal::Outcome::Cancelled:
        return QObject::tr("Screen sharing was cancelled");
    case ScreenCastPortal::Outcome::TimedOut:
        return QObject::tr("Screen sharing did not start: the desktop did not answer");
    case ScreenCastPortal::Outcome::Closed:
        return QObject::tr("Screen sharing was ended by the desktop");
    case ScreenCastPortal::Outcome::Failed:
    case ScreenCastPortal::Outcome::Started:
        break;
    }
    return QObject::tr("Screen sharing did not start: %1").arg(result.reason);
}

} // namespace

struct PortalFrameSource::Shared : std::enable_shared_from_this<PortalFrameSource::Shared>
{
    // Guards the fields up to `stream`.
    std::mutex mutex;
    std::uint64_t generation = 0;
    bool running = false;
    std::unique_ptr<PipeWireScreenStream> stream;
    double fps = 30;

    // Frame hand-over: at most one delivery is queued at a time; a newer frame replaces a
    // pending one (the newest frame is what counts). Two locks, so that the stream's thread
    // never waits for a running handler: a handler may drop a lent surface, which gives its
    // buffer back under the stream's loop lock. No surface is released under `pendingMutex`.
    std::mutex pendingMutex;
    bool active = false;
    bool posted = false;
    std::shared_ptr<CaptureSurface> pending;
    DispatchQueue* queue = nullptr;
    // Held while the handler runs, so stop() returns only once no handler call runs.
    std::mutex handlerMutex;
    FrameHandler handler;

    std::atomic<bool> streaming{false};
    std::atomic<std::uint64_t> delivered{0};
    std::atomic<std::uint64_t> lent{0};
    std::atomic<std::uint64_t> copied{0};

    // Portal thread only.
    ScreenCastPortal* portal = nullptr;
    QObject* context = nullptr;   // the portal thread's context object
    bool pointerAttached = false; // guarded by `mutex`

    bool current(std::uint64_t gen)
    {
        std::lock_guard lock(mutex);
        return running && gen == generation;
    }

    void offer(std::shared_ptr<CaptureSurface> surface)
    {
        std::shared_ptr<CaptureSurface> dropped;
        DispatchQueue* post = nullptr;
        {
            std::lock_guard lock(pendingMutex);
            if (!active || !queue) {
                dropped = std::move(surface);
            } else {
                dropped = std::exchange(pending, std::move(surface));
                if (!posted) {
                    posted = true;
                    post = queue;
                }
            }
        }
        if (post) {
            std::weak_ptr<Shared> weak = weak_from_this();
            post->async([weak] {
                if (auto self = weak.lock())
                    self->deliver();
            });
        }
        // `dropped` goes back to the stream here, outside the lock.
    }

    void deliver()
    {
        std::lock_guard lock(handlerMutex);
        std::shared_ptr<CaptureSurface> surface;
        {
            std::lock_guard pendingLock(pendingMutex);
            posted = false;
            if (active)
                surface = std::move(pending);
        }
        if (!surface || !handler)
            return;
        ++delivered;
        handler(std::move(surface));
    }

    // Stops handing frames over; returns what was pending, to be released outside the locks.
    std::shared_ptr<CaptureSurface> deactivate()
    {
        std::lock_guard lock(pendingMutex);
        active = false;
        queue = nullptr;
        return std::move(pending);
    }

    // On the portal thread.
    void begin(std::uint64_t gen, QString token, bool retried)
    {
        if (!current(gen))
            return;
        Timeouts timeouts;
        {
            std::lock_guard lock(g_configMutex);
            timeouts = g_timeouts;
        }
        if (portal)
            portal->deleteLater();
        portal = new ScreenCastPortal(QDBusConnection::sessionBus());
        ScreenCastPortal::Options options;
        options.restoreToken = token;
        options.callTimeout = timeouts.call;
        options.requestTimeout = timeouts.request;
        options.interactiveTimeout = timeouts.interactive;
        {
            std::lock_guard lock(g_configMutex);
            options.pointer = g_pointerMode != PointerMode::Off && g_pointerTarget.attach;
            options.pointerWithoutMemory = g_pointerMode == PointerMode::Always;
        }
        qCInfo(lcCapture).noquote() << (token.isEmpty()
                                            ? QStringLiteral("portal: asking to share the screen")
                                            : QStringLiteral(
                                                  "portal: sharing the screen with the saved permission"));
        std::weak_ptr<Shared> weak = weak_from_this();
        ScreenCastPortal* self = portal;
        QObject::connect(portal, &ScreenCastPortal::sessionClosed, portal, [weak, gen] {
            if (auto s = weak.lock())
                s->ended(gen, QObject::tr("Screen sharing was ended by the desktop"));
        });
        portal->begin(options, [weak, gen, retried, self](const ScreenCastPortal::Result& result) {
            auto s = weak.lock();
            if (!s) {
                if (result.pipeWireFd >= 0)
                    ::close(result.pipeWireFd);
                return;
            }
            s->portalFinished(gen, retried, self, result);
        });
    }

    void portalFinished(std::uint64_t gen, bool retried, ScreenCastPortal* from,
                        const ScreenCastPortal::Result& result)
    {
        if (!current(gen) || from != portal) {
            if (result.pipeWireFd >= 0)
                ::close(result.pipeWireFd);
            if (from)
                from->close();
            return;
        }
        TokenStore store;
        {
            std::lock_guard lock(g_configMutex);
            store = g_tokenStore;
        }
        if (result.outcome != ScreenCastPortal::Outcome::Started) {
            if (result.restoreTokenRefused && !retried) {
                // The saved choice no longer holds (the monitor is gone, the permission was
                // revoked): forget it and ask once more, saying why.
                if (store.save)
                    store.save(QString());
                notify(Notice::AskingAgain,
                       QObject::tr("The saved screen-sharing permission was not accepted; choose the screen "
                                   "to share again"));
                begin(gen, QString(), true);
                return;
            }
            qCWarning(lcCapture).noquote()
                << QStringLiteral("portal: %1: %2")
                       .arg(ScreenCastPortal::outcomeName(result.outcome), result.reason);
            stopRunning(gen);
            notify(Notice::Failed, userMessage(result));
            return;
        }

        qCInfo(lcCapture).noquote() << QStringLiteral(
                                           "portal: screen cast started (%1, node %2, %3x%4, version %5)")
                                           .arg(result.usedRestoreToken ? QStringLiteral("saved permission")
                                                                        : QStringLiteral("asked"))
                                           .arg(result.nodeId)
                                           .arg(result.size.width())
                                           .arg(result.size.height())
                                           .arg(result.portalVersion);
        if (store.save)
            store.save(result.restoreToken);
        if (result.restoreToken.isEmpty())
            notify(Notice::NotRemembered,
                   QObject::tr("This desktop cannot remember the screen-sharing choice; it asks at every "
                               "projection"));
        if (result.size.isValid()) {
            std::lock_guard lock(g_configMutex);
            g_lastStreamSize = result.size;
        }

        auto stream = std::make_unique<PipeWireScreenStream>();
        PipeWireScreenStream::Callbacks callbacks;
        std::weak_ptr<Shared> weak = weak_from_this();
        callbacks.frame = [weak](std::shared_ptr<CaptureSurface> surface) {
            if (auto s = weak.lock()) {
                s->streaming = true;
                s->offer(std::move(surface));
            }
        };
        callbacks.sizeChanged = [](QSize size) {
            std::lock_guard lock(g_configMutex);
            g_lastStreamSize = size;
        };
        callbacks.ended = [weak, gen](const QString&) {
            if (auto s = weak.lock())
                s->ended(gen, QObject::tr("Screen sharing was ended by the desktop"));
        };
        double fps;
        {
            std::lock_guard lock(mutex);
            fps = this->fps;
        }
        QString error;
        if (!stream->start(result.pipeWireFd, result.nodeId, fps, std::move(callbacks), &error)) {
            qCWarning(lcCapture).noquote() << QStringLiteral("portal: %1").arg(error);
            portal->close();
            stopRunning(gen);
            notify(Notice::Failed, QObject::tr("Screen sharing did not start: %1").arg(error));
            return;
        }
        std::lock_guard lock(mutex);
        if (!running || gen != generation)
            return; // stopped meanwhile: the stream goes here
        this->stream = std::move(stream);
        if (result.pointer)
            attachPointer(gen, portal, result.size.isValid() ? result.size : lastStreamSize());
    }

    static QSize lastStreamSize()
    {
        std::lock_guard lock(g_configMutex);
        return g_lastStreamSize;
    }

    // Under `mutex`. The sender queues each event to the portal's thread, where it goes to the
    // portal of this generation only.
    void attachPointer(std::uint64_t gen, ScreenCastPortal* from, QSize size)
    {
        PointerTarget target;
        {
            std::lock_guard lock(g_configMutex);
            target = g_pointerTarget;
        }
        if (!target.attach || !context)
            return;
        if (size.isEmpty()) {
            qCInfo(lcCapture) << "portal: pointer forwarding disabled: the stream's size is unknown";
            return;
        }
        auto queued = std::make_shared<std::atomic<int>>(0);
        std::weak_ptr<Shared> weak = weak_from_this();
        QObject* ctx = context;
        target.attach(size, [weak, gen, from, ctx, queued](const PortalPointerInjector::Event& event) {
            if (queued->fetch_add(1) >= kMaxPointerEventsQueued) {
                queued->fetch_sub(1);
                return false;
            }
            return QMetaObject::invokeMethod(
                ctx,
                [weak, gen, from, queued, event] {
                    queued->fetch_sub(1);
                    auto s = weak.lock();
                    if (!s || !s->current(gen) || s->portal != from)
                        return;
                    if (event.kind == PortalPointerInjector::Event::Kind::MotionAbsolute)
                        s->portal->notifyPointerMotionAbsolute(event.x, event.y);
                    else
                        s->portal->notifyPointerButton(event.button, event.pressed);
                },
                Qt::QueuedConnection);
        });
        pointerAttached = true;
        qCInfo(lcCapture).noquote()
            << QStringLiteral("portal: the receiver's pointer drives this desktop's pointer (stream %1x%2)")
                   .arg(size.width())
                   .arg(size.height());
    }

    // Under `mutex`. After this no sender call runs.
    void detachPointer()
    {
        if (!pointerAttached)
            return;
        pointerAttached = false;
        PointerTarget target;
        {
            std::lock_guard lock(g_configMutex);
            target = g_pointerTarget;
        }
        if (target.detach)
            target.detach();
    }

    // Called on the stream's thread or the portal thread.
    void ended(std::uint64_t gen, const QString& message)
    {
        if (!current(gen))
            return;
        stopRunning(gen);
        notify(Notice::Ended, message);
    }

    void stopRunning(std::uint64_t gen)
    {
        {
            std::lock_guard lock(mutex);
            if (gen == generation) {
                running = false;
                detachPointer();
            }
        }
        std::shared_ptr<CaptureSurface> dropped = deactivate();
        streaming = false;
    }
};

PortalFrameSource::PortalFrameSource() : d(std::make_shared<Shared>()) {}

// The portal conversation's thread, started with the first stream (listing displays needs none).
void PortalFrameSource::ensureThread()
{
    if (m_thread)
        return;
    m_thread = std::make_unique<QThread>();
    m_thread->setObjectName(QStringLiteral("Screen Cast Portal"));
    m_context = new QObject;
    m_context->moveToThread(m_thread.get());
    {
        std::lock_guard lock(d->mutex);
        d->context = m_context;
    }
    QObject::connect(m_thread.get(), &QThread::finished, m_context, &QObject::deleteLater);
    m_thread->start();
}

PortalFrameSource::~PortalFrameSource()
{
    stop();
    if (!m_thread)
        return;
    // The portal object goes on its own thread, which then ends its loop.
    std::shared_ptr<Shared> shared = d;
    QMetaObject::invokeMethod(
        m_context,
        [shared] {
            if (shared->portal) {
                shared->portal->close();
                delete shared->portal;
                shared->portal = nullptr;
            }
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    if (!m_thread->wait(QDeadlineTimer(kThreadStopTimeout.count()))) {
        // Never block forever; the thread only holds a portal conversation.
        qCWarning(lcCapture) << "portal: its thread did not stop in time";
        (void)m_thread.release();
    }
}

void PortalFrameSource::setRestoreTokenStore(TokenStore store)
{
    std::lock_guard lock(g_configMutex);
    g_tokenStore = std::move(store);
}

void PortalFrameSource::setNoticeHandler(NoticeHandler handler)
{
    std::lock_guard lock(g_configMutex);
    g_noticeHandler = std::move(handler);
}

void PortalFrameSource::setSizeHint(std::function<QSize()> hint)
{
    std::lock_guard lock(g_configMutex);
    g_sizeHint = std::move(hint);
}

void PortalFrameSource::setPointerTarget(PointerTarget target, PointerMode mode)
{
    std::lock_guard lock(g_configMutex);
    g_pointerTarget = std::move(target);
    g_pointerMode = mode;
}

void PortalFrameSource::setTimeouts(Timeouts timeouts)
{
    std::lock_guard lock(g_configMutex);
    g_timeouts = timeouts;
}

bool PortalFrameSource::isWaylandSession()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland");
}

std::vector<PortalFrameSource::Display> PortalFrameSource::displays()
{
    QSize size;
    std::function<QSize()> hint;
    {
        std::lock_guard lock(g_configMutex);
        size = g_lastStreamSize;
        hint = g_sizeHint;
    }
    if (!size.isValid() && hint)
        size = hint();
    if (!size.isValid())
        size = QSize(1920, 1080);
    Display display;
    display.id = kDisplayID;
    display.bounds = QRect(QPoint(0, 0), size);
    display.scale = 1.0;
    display.outputName = QStringLiteral("portal");
    display.primary = true;
    return {display};
}

std::optional<QString> PortalFrameSource::screenName(std::uint32_t)
{
    return std::nullopt;
}

bool PortalFrameSource::start(std::uint32_t display, QSize, double fps, bool, DispatchQueue& queue,
                              FrameHandler handler)
{
    stop();
    if (display != kDisplayID)
        return false;
    std::uint64_t gen;
    {
        std::lock_guard lock(d->mutex);
        gen = ++d->generation;
        d->running = true;
        d->fps = fps;
    }
    {
        std::lock_guard lock(d->handlerMutex);
        d->handler = std::move(handler);
    }
    {
        std::lock_guard lock(d->pendingMutex);
        d->queue = &queue;
        d->active = true;
        d->posted = false;
    }
    ensureThread();
    QString token;
    {
        std::lock_guard lock(g_configMutex);
        if (g_tokenStore.load)
            token = g_tokenStore.load();
    }
    std::weak_ptr<Shared> weak = d;
    QMetaObject::invokeMethod(
        m_context,
        [weak, gen, token] {
            if (auto s = weak.lock())
                s->begin(gen, token, false);
        },
        Qt::QueuedConnection);
    return true;
}

void PortalFrameSource::stop()
{
    std::unique_ptr<PipeWireScreenStream> stream;
    bool wasRunning;
    {
        std::lock_guard lock(d->mutex);
        wasRunning = d->running;
        ++d->generation;
        d->running = false;
        d->detachPointer();
        stream = std::move(d->stream);
    }
    std::shared_ptr<CaptureSurface> dropped = d->deactivate();
    {
        // Waits for a running handler call.
        std::lock_guard lock(d->handlerMutex);
        d->handler = nullptr;
    }
    dropped.reset();
    d->streaming = false;
    if (stream) {
        const PipeWireScreenStream::Statistics s = stream->statistics();
        d->lent += s.lent;
        d->copied += s.copied;
        qCInfo(lcCapture).noquote() << QStringLiteral(
                                           "pipewire: frames lent %1 copied %2 refused %3 skipped %4, "
                                           "%5 buffers")
                                           .arg(s.lent)
                                           .arg(s.copied)
                                           .arg(s.refused)
                                           .arg(s.skipped)
                                           .arg(s.buffers);
        stream->stop();
    }
    if (wasRunning && m_context) {
        std::weak_ptr<Shared> weak = d;
        QMetaObject::invokeMethod(
            m_context,
            [weak] {
                if (auto s = weak.lock())
                    if (s->portal)
                        s->portal->close();
            },
            Qt::QueuedConnection);
    }
}

bool PortalFrameSource::isStreaming() const
{
    return d->streaming.load();
}

std::uint64_t PortalFrameSource::framesDelivered() const
{
    return d->delivered.load();
}

std::uint64_t PortalFrameSource::framesLent() const
{
    return d->lent.load();
}

std::uint64_t PortalFrameSource::framesCopied() const
{
    return d->copied.load();
}
