#include "Pikora/Platform/DBusPowerAssertion.h"

#include "Pikora/App/AppLogging.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr char kScreenSaverService[] = "org.freedesktop.ScreenSaver";
constexpr char kScreenSaverInterface[] = "org.freedesktop.ScreenSaver";
// The freedesktop.org path first; some desktops only serve the older one.
constexpr const char* kScreenSaverPaths[] = {"/org/freedesktop/ScreenSaver", "/ScreenSaver"};

// Where no screen saver service runs (many Wayland desktops), the desktop portal's Inhibit.
constexpr char kPortalService[] = "org.freedesktop.portal.Desktop";
constexpr char kPortalPath[] = "/org/freedesktop/portal/desktop";
constexpr char kPortalInhibitInterface[] = "org.freedesktop.portal.Inhibit";
constexpr char kPortalRequestInterface[] = "org.freedesktop.portal.Request";
constexpr uint kPortalInhibitIdle = 8;

constexpr char kLogin1Service[] = "org.freedesktop.login1";
constexpr char kLogin1Path[] = "/org/freedesktop/login1";
constexpr char kLogin1Interface[] = "org.freedesktop.login1.Manager";
// Keep the machine from suspending, whether asked to by idleness or by a sleep request.
constexpr char kLogin1What[] = "sleep:idle";
constexpr char kLogin1Mode[] = "block";

PowerAssertion::Error errorFor(const QDBusError& error)
{
    // Errors QtDBus has no enum value for, raised when the bus cannot start the service.
    if (error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
        error.name().startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn.")))
        return PowerAssertion::Error::ServiceUnavailable;
    switch (error.type()) {
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
        return PowerAssertion::Error::NoBus;
    case QDBusError::ServiceUnknown:
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod:
        return PowerAssertion::Error::ServiceUnavailable;
    default:
        return PowerAssertion::Error::Refused;
    }
}

PowerAssertion::Result failure(PowerAssertion::Error error, QString message)
{
    PowerAssertion::Result result;
    result.error = error;
    result.message = std::move(message);
    return result;
}

QString applicationName()
{
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("Pikora") : name;
}

} // namespace

// One held assertion: a screen-saver cookie, or an open login1 inhibitor descriptor.
struct DBusPowerAssertion::Held
{
    Type type = Type::NoDisplaySleep;
    quint32 cookie = 0;
    QString screenSaverPath;
    QString portalRequest; // held through the portal instead: closing this request releases it
    int fd = -1;

    ~Held()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

DBusPowerAssertion::DBusPowerAssertion()
    : DBusPowerAssertion(QDBusConnection::sessionBus(), QDBusConnection::systemBus())
{
}

DBusPowerAssertion::DBusPowerAssertion(QDBusConnection sessionBus, QDBusConnection systemBus, int timeoutMs)
    : m_sessionBus(std::move(sessionBus)), m_systemBus(std::move(systemBus)), m_timeoutMs(timeoutMs)
{
}

DBusPowerAssertion::~DBusPowerAssertion()
{
    std::lock_guard lock(m_mutex);
    for (auto& [id, held] : m_held)
        releaseHeld(id, *held);
    m_held.clear();
}

PowerAssertion::Result DBusPowerAssertion::create(Type type, const QString& name)
{
    std::lock_guard lock(m_mutex);
    auto held = std::make_unique<Held>();
    held->type = type;
    Result result =
        type == Type::NoDisplaySleep ? inhibitDisplaySleep(name, *held) : inhibitIdleSleep(name, *held);
    if (!result.ok) {
        qCWarning(lcPlatform).noquote()
            << "power assertion" << typeName(type) << "failed (" << result.code() << "):" << result.message;
        return result;
    }
    do {
        result.id = m_nextId++;
    } while (result.id == 0 || m_held.count(result.id) != 0); // wrapped around: skip 0 and held ids
    m_held.emplace(result.id, std::move(held));
    return result;
}

PowerAssertion::Result DBusPowerAssertion::inhibitDisplaySleep(const QString& name, Held& held)
{
    if (!m_sessionBus.isConnected())
        return failure(Error::NoBus, QStringLiteral("session bus not available"));

    QDBusError lastError;
    for (const char* path : kScreenSaverPaths) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QString::fromLatin1(kScreenSaverService), QString::fromLatin1(path),
            QString::fromLatin1(kScreenSaverInterface), QStringLiteral("Inhibit"));
        call << applicationName() << name;
        const QDBusMessage reply = m_sessionBus.call(call, QDBus::Block, m_timeoutMs);
        if (reply.type() == QDBusMessage::ErrorMessage) {
            lastError = QDBusError(reply);
            // Another path can only help when this one is not served.
            if (lastError.type() != QDBusError::UnknownObject &&
                lastError.type() != QDBusError::UnknownMethod &&
                lastError.type() != QDBusError::UnknownInterface)
                break;
            continue;
        }
        const QList<QVariant> args = reply.arguments();
        if (args.size() != 1 || args.at(0).metaType().id() != QMetaType::UInt)
            return failure(
                Error::BadReply,
                QStringLiteral("ScreenSaver.Inhibit answered with signature \"%1\"").arg(reply.signature()));
        held.cookie = args.at(0).toUInt();
        held.screenSaverPath = QString::fromLatin1(path);
        return {true, 0, Error::None, {}};
    }
    const Result screenSaver =
        failure(errorFor(lastError), lastError.name() + QStringLiteral(": ") + lastError.message());
    if (screenSaver.error != Error::ServiceUnavailable)
        return screenSaver;
    Result portal = inhibitThroughPortal(name, held);
    if (!portal.ok && portal.error == Error::ServiceUnavailable)
        return screenSaver; // neither is there: report the screen saver, as before
    return portal;
}

PowerAssertion::Result DBusPowerAssertion::inhibitThroughPortal(const QString& name, Held& held)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kPortalService), QString::fromLatin1(kPortalPath),
        QString::fromLatin1(kPortalInhibitInterface), QStringLiteral("Inhibit"));
    // Only a portal that already runs: starting one just for this would cost more than the
    // assertion is worth where the desktop has none.
    call.setAutoStartService(false);
    QVariantMap options;
    options.insert(QStringLiteral("reason"), name);
    call << QString() << kPortalInhibitIdle << options;
    const QDBusMessage reply = m_sessionBus.call(call, QDBus::Block, m_timeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        const QDBusError error(reply);
        return failure(errorFor(error), error.name() + QStringLiteral(": ") + error.message());
    }
    const QList<QVariant> args = reply.arguments();
    if (args.size() != 1 || args.at(0).metaType() != QMetaType::fromType<QDBusObjectPath>() ||
        args.at(0).value<QDBusObjectPath>().path().isEmpty())
        return failure(
            Error::BadReply,
            QStringLiteral("portal Inhibit answered with signature \"%1\"").arg(reply.signature()));
    held.portalRequest = args.at(0).value<QDBusObjectPath>().path();
    qCInfo(lcPlatform).noquote()
        << QStringLiteral("power assertion %1 held through the desktop portal").arg(typeName(held.type));
    return {true, 0, Error::None, {}};
}

PowerAssertion::Result DBusPowerAssertion::inhibitIdleSleep(const QString& name, Held& held)
{
    if (!m_systemBus.isConnected())
        return failure(Error::NoBus, QStringLiteral("system bus not available"));

    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(kLogin1Service), QString::fromLatin1(kLogin1Path),
                                       QString::fromLatin1(kLogin1Interface), QStringLiteral("Inhibit"));
    call << QString::fromLatin1(kLogin1What) << applicationName() << name << QString::fromLatin1(kLogin1Mode);
    const QDBusMessage reply = m_systemBus.call(call, QDBus::Block, m_timeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        const QDBusError error(reply);
        return failure(errorFor(error), error.name() + QStringLiteral(": ") + error.message());
    }
    const QList<QVariant> args = reply.arguments();
    if (args.size() != 1 || !args.at(0).canConvert<QDBusUnixFileDescriptor>())
        return failure(
            Error::BadReply,
            QStringLiteral("login1.Inhibit answered with signature \"%1\"").arg(reply.signature()));
    const auto descriptor = args.at(0).value<QDBusUnixFileDescriptor>();
    if (!descriptor.isValid())
        return failure(Error::BadReply, QStringLiteral("login1.Inhibit answered without a file descriptor"));
    // Our own duplicate: the inhibitor lasts exactly as long as this descriptor is open.
    held.fd = ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (held.fd < 0)
        return failure(Error::BadReply, QStringLiteral("could not keep the inhibitor descriptor"));
    return {true, 0, Error::None, {}};
}

bool DBusPowerAssertion::release(Id id)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_held.find(id);
    if (it == m_held.end())
        return false;
    releaseHeld(id, *it->second);
    m_held.erase(it);
    return true;
}

void DBusPowerAssertion::releaseHeld(Id id, Held& held)
{
    if (held.type == Type::NoIdleSleep)
        return; // closing the descriptor (when `held` is destroyed) releases it

    if (!held.portalRequest.isEmpty()) {
        QDBusMessage close = QDBusMessage::createMethodCall(
            QString::fromLatin1(kPortalService), held.portalRequest,
            QString::fromLatin1(kPortalRequestInterface), QStringLiteral("Close"));
        const QDBusMessage reply = m_sessionBus.call(close, QDBus::Block, m_timeoutMs);
        if (reply.type() == QDBusMessage::ErrorMessage)
            qCWarning(lcPlatform) << "releasing power assertion" << id
                                  << "failed:" << QDBusError(reply).message();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kScreenSaverService), held.screenSaverPath,
        QString::fromLatin1(kScreenSaverInterface), QStringLiteral("UnInhibit"));
    call << held.cookie;
    const QDBusMessage reply = m_sessionBus.call(call, QDBus::Block, m_timeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage)
        qCWarning(lcPlatform) << "releasing power assertion" << id
                              << "failed:" << QDBusError(reply).message();
}

int DBusPowerAssertion::heldCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_held.size());
}
