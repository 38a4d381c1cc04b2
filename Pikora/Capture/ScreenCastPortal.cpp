#include "Pikora/Capture/ScreenCastPortal.h"

#include "Pikora/Capture/CaptureLogging.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QRandomGenerator>
#include <QTimer>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kRemoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

constexpr uint kSourceMonitor = 1;
constexpr uint kCursorHidden = 1;
constexpr uint kCursorEmbedded = 2;
constexpr uint kCursorMetadata = 4;
constexpr uint kPersistUntilRevoked = 2;
constexpr uint kDevicePointer = 2;
constexpr int kMaxStreams = 16;

std::optional<uint> uintOf(const QVariant& v)
{
    if (v.metaType().id() == QMetaType::UInt)
        return v.toUInt();
    return std::nullopt;
}

std::optional<QString> stringOf(const QVariant& v)
{
    if (v.metaType().id() == QMetaType::QString)
        return v.toString();
    return std::nullopt;
}

// A QDBusArgument of exactly `signature`, or nothing.
std::optional<QDBusArgument> argumentOf(const QVariant& v, const char* signature)
{
    if (v.metaType() != QMetaType::fromType<QDBusArgument>())
        return std::nullopt;
    QDBusArgument arg = v.value<QDBusArgument>();
    if (arg.currentSignature() != QLatin1String(signature))
        return std::nullopt;
    return arg;
}

} // namespace

ScreenCastPortal::ScreenCastPortal(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus))
{
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        finish(Outcome::TimedOut, QStringLiteral("the screen-sharing portal did not answer in time"));
    });
}

ScreenCastPortal::~ScreenCastPortal()
{
    if (m_result.pipeWireFd >= 0 && m_step != Step::Running)
        ::close(m_result.pipeWireFd);
    close();
}

QString ScreenCastPortal::outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Started:
        return QStringLiteral("started");
    case Outcome::PortalMissing:
        return QStringLiteral("portal missing");
    case Outcome::Cancelled:
        return QStringLiteral("cancelled");
    case Outcome::Failed:
        return QStringLiteral("failed");
    case Outcome::TimedOut:
        return QStringLiteral("timed out");
    case Outcome::Closed:
        return QStringLiteral("closed");
    }
    return QStringLiteral("?");
}

QString ScreenCastPortal::newToken()
{
    return QStringLiteral("pikora%1").arg(QRandomGenerator::global()->generate());
}

void ScreenCastPortal::begin(const Options& options, Finished finished)
{
    m_options = options;
    m_finished = std::move(finished);
    m_result = Result{};
    m_remote = false;
    m_remoteVersion = 0;
    m_tokenSent = false;
    if (!m_bus.isConnected()) {
        finish(Outcome::PortalMissing, QStringLiteral("no D-Bus session bus"));
        return;
    }
    queryProperties();
}

void ScreenCastPortal::queryProperties()
{
    m_step = Step::Properties;
    QDBusMessage msg = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    msg << kScreenCast;
    auto* watcher =
        new QDBusPendingCallWatcher(m_bus.asyncCall(msg, int(m_options.callTimeout.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (m_step != Step::Properties)
            return;
        QDBusPendingReply<QVariantMap> reply = *w;
        if (reply.isError()) {
            const QDBusError error = reply.error();
            if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout)
                finish(Outcome::TimedOut, QStringLiteral("the screen-sharing portal did not answer in time"));
            else
                finish(Outcome::PortalMissing,
                       QStringLiteral("no screen-sharing portal (%1)").arg(error.name()));
            return;
        }
        const QVariantMap props = reply.value();
        m_version = int(uintOf(props.value(QStringLiteral("version"))).value_or(0));
        const uint sources = uintOf(props.value(QStringLiteral("AvailableSourceTypes"))).value_or(0);
        const uint cursors = uintOf(props.value(QStringLiteral("AvailableCursorModes"))).value_or(0);
        if (m_version == 0) {
            finish(Outcome::PortalMissing, QStringLiteral("the desktop portal has no screen casting"));
            return;
        }
        if (!(sources & kSourceMonitor)) {
            finish(Outcome::PortalMissing,
                   QStringLiteral("the screen-sharing portal cannot share a monitor"));
            return;
        }
        // The pointer drawn into the frames where offered, else sent beside them (we draw it).
        m_cursorMode = (cursors & kCursorEmbedded)   ? kCursorEmbedded
                       : (cursors & kCursorMetadata) ? kCursorMetadata
                                                     : kCursorHidden;
        if (m_cursorMode == kCursorHidden)
            qCInfo(lcCapture).noquote()
                << QStringLiteral("portal: pointer not drawn into frames (cursor modes %1)").arg(cursors);
        m_result.portalVersion = m_version;
        if (m_options.pointer)
            queryRemoteDesktop();
        else
            createSession();
    });
}

void ScreenCastPortal::queryRemoteDesktop()
{
    m_step = Step::RemoteProperties;
    QDBusMessage msg = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    msg << kRemoteDesktop;
    auto* watcher =
        new QDBusPendingCallWatcher(m_bus.asyncCall(msg, int(m_options.callTimeout.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (m_step != Step::RemoteProperties)
            return;
        QDBusPendingReply<QVariantMap> reply = *w;
        if (reply.isError()) {
            const QDBusError error = reply.error();
            if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout) {
                finish(Outcome::TimedOut, QStringLiteral("the screen-sharing portal did not answer in time"));
                return;
            }
            pointerOff(QStringLiteral("the desktop portal offers no remote desktop (%1)").arg(error.name()));
        } else {
            const QVariantMap props = reply.value();
            m_remoteVersion = int(uintOf(props.value(QStringLiteral("version"))).value_or(0));
            const uint devices = uintOf(props.value(QStringLiteral("AvailableDeviceTypes"))).value_or(0);
            if (m_remoteVersion == 0)
                pointerOff(QStringLiteral("the desktop portal offers no remote desktop"));
            else if (!(devices & kDevicePointer))
                pointerOff(QStringLiteral("the desktop's remote desktop offers no pointer (device types %1)")
                               .arg(devices));
            else if (m_remoteVersion < 2 && !m_options.pointerWithoutMemory)
                pointerOff(QStringLiteral("the desktop's remote desktop (version %1) cannot remember the "
                                          "choice, and asking at every projection is not allowed")
                               .arg(m_remoteVersion));
            else
                m_remote = true;
        }
        createSession();
    });
}

void ScreenCastPortal::pointerOff(const QString& why)
{
    m_remote = false;
    m_result.pointerNote = why;
    qCInfo(lcCapture).noquote() << QStringLiteral("portal: pointer forwarding disabled: %1").arg(why);
}

void ScreenCastPortal::request(const QString& interface, const QString& method, const QList<QVariant>& args,
                               QVariantMap options, std::chrono::milliseconds responseTimeout)
{
    stopWaiting();
    const QString token = newToken();
    options.insert(QStringLiteral("handle_token"), token);
    QString sender = m_bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    m_requestPath = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    // Subscribe before calling, so a fast Response is not missed.
    m_bus.connect(kService, m_requestPath, kRequest, QStringLiteral("Response"), this,
                  SLOT(onResponse(uint, QVariantMap)));
    m_timer->start(m_options.callTimeout + responseTimeout);

    QDBusMessage msg = QDBusMessage::createMethodCall(kService, kPath, interface, method);
    QList<QVariant> all = args;
    all << options;
    msg.setArguments(all);
    const Step step = m_step;
    auto* watcher =
        new QDBusPendingCallWatcher(m_bus.asyncCall(msg, int(m_options.callTimeout.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, step, method](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                if (m_step != step)
                    return;
                QDBusPendingReply<QDBusObjectPath> reply = *w;
                if (reply.isError()) {
                    finish(Outcome::Failed, QStringLiteral("the screen-sharing portal refused %1: %2")
                                                .arg(method, reply.error().message()));
                    return;
                }
                // Older portals may use another path than the one derived from the token.
                const QString path = reply.value().path();
                if (path != m_requestPath) {
                    m_bus.disconnect(kService, m_requestPath, kRequest, QStringLiteral("Response"), this,
                                     SLOT(onResponse(uint, QVariantMap)));
                    m_requestPath = path;
                    m_bus.connect(kService, m_requestPath, kRequest, QStringLiteral("Response"), this,
                                  SLOT(onResponse(uint, QVariantMap)));
                }
            });
}

void ScreenCastPortal::stopWaiting()
{
    m_timer->stop();
    if (!m_requestPath.isEmpty())
        m_bus.disconnect(kService, m_requestPath, kRequest, QStringLiteral("Response"), this,
                         SLOT(onResponse(uint, QVariantMap)));
    m_requestPath.clear();
}

void ScreenCastPortal::createSession()
{
    m_step = Step::CreateSession;
    QVariantMap options;
    options.insert(QStringLiteral("session_handle_token"), newToken());
    request(m_remote ? kRemoteDesktop : kScreenCast, QStringLiteral("CreateSession"), {}, options,
            m_options.requestTimeout);
}

void ScreenCastPortal::selectDevices()
{
    m_step = Step::SelectDevices;
    QVariantMap options;
    options.insert(QStringLiteral("types"), QVariant::fromValue<uint>(kDevicePointer));
    // A remote-desktop session remembers the choice from version 2 of the interface; the
    // screen cast it shares is then restored with it.
    if (m_remoteVersion >= 2) {
        options.insert(QStringLiteral("persist_mode"), QVariant::fromValue<uint>(kPersistUntilRevoked));
        if (!m_options.restoreToken.isEmpty()) {
            options.insert(QStringLiteral("restore_token"), m_options.restoreToken);
            m_tokenSent = true;
        }
    }
    request(kRemoteDesktop, QStringLiteral("SelectDevices"),
            {QVariant::fromValue(QDBusObjectPath(m_sessionHandle))}, options, m_options.requestTimeout);
}

void ScreenCastPortal::selectSources()
{
    m_step = Step::SelectSources;
    QVariantMap options;
    options.insert(QStringLiteral("types"), QVariant::fromValue<uint>(kSourceMonitor));
    options.insert(QStringLiteral("multiple"), false);
    options.insert(QStringLiteral("cursor_mode"), QVariant::fromValue<uint>(m_cursorMode));
    // Remembering the choice needs version 4 of the interface; a remote-desktop session
    // remembers it through SelectDevices instead (the portal refuses persistence here).
    if (m_version >= 4 && !m_remote) {
        options.insert(QStringLiteral("persist_mode"), QVariant::fromValue<uint>(kPersistUntilRevoked));
        if (!m_options.restoreToken.isEmpty()) {
            options.insert(QStringLiteral("restore_token"), m_options.restoreToken);
            m_tokenSent = true;
        }
    }
    request(kScreenCast, QStringLiteral("SelectSources"),
            {QVariant::fromValue(QDBusObjectPath(m_sessionHandle))}, options, m_options.requestTimeout);
}

void ScreenCastPortal::startSession()
{
    m_step = Step::Start;
    request(m_remote ? kRemoteDesktop : kScreenCast, QStringLiteral("Start"),
            {QVariant::fromValue(QDBusObjectPath(m_sessionHandle)), QString()}, {},
            m_options.interactiveTimeout);
}

void ScreenCastPortal::openRemote()
{
    m_step = Step::OpenRemote;
    m_timer->start(m_options.callTimeout);
    QDBusMessage msg =
        QDBusMessage::createMethodCall(kService, kPath, kScreenCast, QStringLiteral("OpenPipeWireRemote"));
    msg.setArguments({QVariant::fromValue(QDBusObjectPath(m_sessionHandle)), QVariantMap()});
    auto* watcher =
        new QDBusPendingCallWatcher(m_bus.asyncCall(msg, int(m_options.callTimeout.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (m_step != Step::OpenRemote)
            return;
        m_timer->stop();
        QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (reply.isError() || !reply.value().isValid()) {
            finish(Outcome::Failed,
                   QStringLiteral("the screen-sharing portal gave no stream: %1")
                       .arg(reply.isError() ? reply.error().message() : QStringLiteral("no descriptor")));
            return;
        }
        m_result.pipeWireFd = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 3);
        if (m_result.pipeWireFd < 0) {
            finish(Outcome::Failed, QStringLiteral("cannot keep the stream's descriptor"));
            return;
        }
        finish(Outcome::Started, QString());
    });
}

void ScreenCastPortal::onResponse(uint response, const QVariantMap& results)
{
    stopWaiting();
    if (response == 1) {
        finish(Outcome::Cancelled, QStringLiteral("screen sharing was cancelled"));
        return;
    }
    if (response != 0) {
        if (m_step == Step::Start && m_tokenSent) {
            m_result.restoreTokenRefused = true;
            finish(Outcome::Failed, QStringLiteral("the saved screen-sharing permission was not accepted"));
        } else {
            finish(Outcome::Failed,
                   QStringLiteral("the screen-sharing portal ended the request (%1)").arg(response));
        }
        return;
    }
    switch (m_step) {
    case Step::CreateSession: {
        // A string by the interface's definition; some portals send an object path.
        std::optional<QString> handle = stringOf(results.value(QStringLiteral("session_handle")));
        if (!handle && results.value(QStringLiteral("session_handle")).metaType() ==
                           QMetaType::fromType<QDBusObjectPath>())
            handle = results.value(QStringLiteral("session_handle")).value<QDBusObjectPath>().path();
        if (!handle || handle->isEmpty() || QDBusObjectPath(*handle).path().isEmpty()) {
            finish(Outcome::Failed, QStringLiteral("the screen-sharing portal gave no session"));
            return;
        }
        m_sessionHandle = *handle;
        m_bus.connect(kService, m_sessionHandle, kSession, QStringLiteral("Closed"), this,
                      SLOT(onSessionClosed(QVariantMap)));
        m_sessionClosedConnected = true;
        if (m_remote)
            selectDevices();
        else
            selectSources();
        return;
    }
    case Step::SelectDevices:
        selectSources();
        return;
    case Step::SelectSources:
        startSession();
        return;
    case Step::Start: {
        QString error;
        if (!parseStartResults(results, m_result.nodeId, m_result.size, m_result.restoreToken, &error)) {
            finish(Outcome::Failed,
                   QStringLiteral("the screen-sharing portal's answer is unusable: %1").arg(error));
            return;
        }
        m_result.usedRestoreToken = m_tokenSent;
        if (m_remote) {
            const uint devices = uintOf(results.value(QStringLiteral("devices"))).value_or(0);
            m_result.pointer = (devices & kDevicePointer) != 0;
            if (!m_result.pointer)
                pointerOff(QStringLiteral("the pointer was not granted (devices %1)").arg(devices));
        }
        openRemote();
        return;
    }
    default:
        return;
    }
}

bool ScreenCastPortal::parseStartResults(const QVariantMap& results, quint32& nodeId, QSize& size,
                                         QString& token, QString* error)
{
    auto fail = [error](const char* why) {
        if (error)
            *error = QString::fromLatin1(why);
        return false;
    };
    token = stringOf(results.value(QStringLiteral("restore_token"))).value_or(QString());
    std::optional<QDBusArgument> streamsArg =
        argumentOf(results.value(QStringLiteral("streams")), "a(ua{sv})");
    if (!streamsArg)
        return fail("no streams");
    // Read through a const reference: the non-const calls would write.
    const QDBusArgument& streams = *streamsArg;
    bool found = false;
    int seen = 0;
    streams.beginArray();
    while (!streams.atEnd() && seen < kMaxStreams) {
        ++seen;
        uint node = 0;
        QVariantMap props;
        streams.beginStructure();
        streams >> node >> props;
        streams.endStructure();
        if (found || node == 0)
            continue;
        found = true;
        nodeId = node;
        size = QSize();
        if (std::optional<QDBusArgument> pairArg = argumentOf(props.value(QStringLiteral("size")), "(ii)")) {
            const QDBusArgument& pair = *pairArg;
            int w = 0, h = 0;
            pair.beginStructure();
            pair >> w >> h;
            pair.endStructure();
            if (w > 0 && h > 0 && w <= 16384 && h <= 16384)
                size = QSize(w, h);
        }
    }
    // Ends the read even when streams past the limit are left unread: a reader begun and
    // never ended is never freed, and holds the message.
    streams.endArray();
    if (!found)
        return fail("no stream with a node");
    return true;
}

void ScreenCastPortal::onSessionClosed(const QVariantMap&)
{
    const Step step = m_step;
    if (m_sessionClosedConnected) {
        m_bus.disconnect(kService, m_sessionHandle, kSession, QStringLiteral("Closed"), this,
                         SLOT(onSessionClosed(QVariantMap)));
        m_sessionClosedConnected = false;
    }
    m_sessionHandle.clear();
    if (step == Step::Running) {
        m_step = Step::Done;
        emit sessionClosed();
    } else if (step != Step::Done && step != Step::Idle) {
        finish(Outcome::Closed, QStringLiteral("the screen-sharing session was closed"));
    }
}

bool ScreenCastPortal::notifyPointerMotionAbsolute(double x, double y)
{
    if (!std::isfinite(x) || !std::isfinite(y))
        return false;
    return queuePointer({true, x, y, 0, false});
}

bool ScreenCastPortal::notifyPointerButton(int button, bool pressed)
{
    return queuePointer({false, 0, 0, button, pressed});
}

bool ScreenCastPortal::queuePointer(const PointerCall& call)
{
    if (m_step != Step::Running || !m_result.pointer || m_sessionHandle.isEmpty())
        return false;
    if (call.motion && !m_pointerQueue.isEmpty() && m_pointerQueue.last().motion) {
        m_pointerQueue.last() = call; // only where the pointer ends up counts
    } else {
        if (m_pointerQueue.size() >= kMaxPointerQueue)
            return false;
        m_pointerQueue.append(call);
    }
    sendNextPointer();
    return true;
}

void ScreenCastPortal::sendNextPointer()
{
    if (m_pointerInFlight || m_pointerQueue.isEmpty())
        return;
    if (m_step != Step::Running || m_sessionHandle.isEmpty()) {
        m_pointerQueue.clear();
        return;
    }
    const PointerCall call = m_pointerQueue.takeFirst();
    QDBusMessage msg;
    if (call.motion) {
        msg = QDBusMessage::createMethodCall(kService, kPath, kRemoteDesktop,
                                             QStringLiteral("NotifyPointerMotionAbsolute"));
        msg.setArguments({QVariant::fromValue(QDBusObjectPath(m_sessionHandle)), QVariantMap(),
                          QVariant::fromValue<uint>(m_result.nodeId), call.x, call.y});
    } else {
        msg = QDBusMessage::createMethodCall(kService, kPath, kRemoteDesktop,
                                             QStringLiteral("NotifyPointerButton"));
        msg.setArguments({QVariant::fromValue(QDBusObjectPath(m_sessionHandle)), QVariantMap(), call.button,
                          QVariant::fromValue<uint>(call.pressed ? 1 : 0)});
    }
    m_pointerInFlight = true;
    auto* watcher =
        new QDBusPendingCallWatcher(m_bus.asyncCall(msg, int(m_options.callTimeout.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        m_pointerInFlight = false;
        if (w->isError() && !m_pointerErrorLogged) {
            m_pointerErrorLogged = true;
            qCWarning(lcCapture).noquote()
                << QStringLiteral("portal: the pointer event was refused: %1").arg(w->error().message());
        }
        sendNextPointer();
    });
}

void ScreenCastPortal::finish(Outcome outcome, const QString& reason)
{
    stopWaiting();
    m_result.outcome = outcome;
    m_result.reason = reason;
    if (outcome == Outcome::Started) {
        m_step = Step::Running;
    } else {
        m_step = Step::Done;
        if (m_result.pipeWireFd >= 0) {
            ::close(m_result.pipeWireFd);
            m_result.pipeWireFd = -1;
        }
        close();
    }
    Finished done = std::move(m_finished);
    m_finished = nullptr;
    if (done)
        done(m_result);
    if (outcome == Outcome::Started)
        m_result.pipeWireFd = -1; // handed over
}

void ScreenCastPortal::close()
{
    stopWaiting();
    m_pointerQueue.clear();
    if (m_sessionClosedConnected) {
        m_bus.disconnect(kService, m_sessionHandle, kSession, QStringLiteral("Closed"), this,
                         SLOT(onSessionClosed(QVariantMap)));
        m_sessionClosedConnected = false;
    }
    if (m_sessionHandle.isEmpty())
        return;
    QDBusMessage msg =
        QDBusMessage::createMethodCall(kService, m_sessionHandle, kSession, QStringLiteral("Close"));
    m_bus.send(msg); // no reply awaited
    m_sessionHandle.clear();
    if (m_step != Step::Idle)
        m_step = Step::Done;
}
