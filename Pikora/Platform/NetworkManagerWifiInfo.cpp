#include "Pikora/Platform/NetworkManagerWifiInfo.h"

#include "Pikora/App/AppLogging.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <optional>
#include <utility>

namespace {

constexpr char kService[] = "org.freedesktop.NetworkManager";
constexpr char kManagerPath[] = "/org/freedesktop/NetworkManager";
constexpr char kManagerInterface[] = "org.freedesktop.NetworkManager";
constexpr char kActiveInterface[] = "org.freedesktop.NetworkManager.Connection.Active";
constexpr char kWirelessInterface[] = "org.freedesktop.NetworkManager.Device.Wireless";
constexpr char kAccessPointInterface[] = "org.freedesktop.NetworkManager.AccessPoint";
constexpr char kWirelessType[] = "802-11-wireless";
// An SSID is at most 32 bytes; more connections than this are not worth a look.
constexpr int kMaxSsidBytes = 32;
constexpr int kMaxConnections = 16;

// One query's view of the bus: property reads that stop once the deadline has passed or
// the service is known to be missing.
class Reader
{
public:
    Reader(const QDBusConnection& bus, int timeoutMs) : m_bus(bus), m_deadline(timeoutMs) {}

    std::optional<QVariant> property(const QString& path, const char* interface, const char* name)
    {
        if (m_failed || m_deadline.hasExpired())
            return std::nullopt;
        QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kService), path,
                                                           QStringLiteral("org.freedesktop.DBus.Properties"),
                                                           QStringLiteral("Get"));
        call << QString::fromLatin1(interface) << QString::fromLatin1(name);
        const int remaining = int(qMax<qint64>(1, m_deadline.remainingTime()));
        const QDBusMessage reply = m_bus.call(call, QDBus::Block, remaining);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
            const QDBusError error(reply);
            // A missing service or a silent one will not do better on the next object.
            if (error.type() == QDBusError::ServiceUnknown || error.type() == QDBusError::NoReply ||
                error.type() == QDBusError::Timeout || error.type() == QDBusError::TimedOut ||
                error.type() == QDBusError::Disconnected)
                m_failed = true;
            qCDebug(lcPlatform) << "NetworkManager property" << name << "of" << path
                                << "unreadable:" << error.message();
            return std::nullopt;
        }
        return reply.arguments().at(0).value<QDBusVariant>().variant();
    }

    QString objectPath(const QString& path, const char* interface, const char* name)
    {
        const auto value = property(path, interface, name);
        if (!value || value->metaType() != QMetaType::fromType<QDBusObjectPath>())
            return {};
        const QString result = value->value<QDBusObjectPath>().path();
        return result == QLatin1String("/") ? QString() : result;
    }

    QStringList objectPaths(const QString& path, const char* interface, const char* name)
    {
        const auto value = property(path, interface, name);
        if (!value)
            return {};
        QList<QDBusObjectPath> objects;
        if (value->metaType() == QMetaType::fromType<QList<QDBusObjectPath>>()) {
            objects = value->value<QList<QDBusObjectPath>>();
        } else if (value->metaType() == QMetaType::fromType<QDBusArgument>()) {
            const auto argument = value->value<QDBusArgument>();
            if (argument.currentSignature() != QLatin1String("ao"))
                return {};
            objects = qdbus_cast<QList<QDBusObjectPath>>(argument);
        }
        QStringList result;
        for (const QDBusObjectPath& object : std::as_const(objects)) {
            if (object.path() != QLatin1String("/"))
                result.append(object.path());
        }
        return result;
    }

    QString string(const QString& path, const char* interface, const char* name)
    {
        const auto value = property(path, interface, name);
        return value && value->metaType() == QMetaType::fromType<QString>() ? value->toString() : QString();
    }

    QByteArray bytes(const QString& path, const char* interface, const char* name)
    {
        const auto value = property(path, interface, name);
        return value && value->metaType() == QMetaType::fromType<QByteArray>() ? value->toByteArray()
                                                                               : QByteArray();
    }

private:
    const QDBusConnection& m_bus;
    QDeadlineTimer m_deadline;
    bool m_failed = false;
};

QString ssidOf(Reader& reader, const QString& accessPoint)
{
    const QByteArray ssid = reader.bytes(accessPoint, kAccessPointInterface, "Ssid");
    if (ssid.isEmpty() || ssid.size() > kMaxSsidBytes)
        return {};
    return QString::fromUtf8(ssid);
}

} // namespace

NetworkManagerWifiInfo::NetworkManagerWifiInfo() : NetworkManagerWifiInfo(QDBusConnection::systemBus()) {}

NetworkManagerWifiInfo::NetworkManagerWifiInfo(QDBusConnection bus, int timeoutMs)
    : m_bus(std::move(bus)), m_timeoutMs(timeoutMs)
{
}

QString NetworkManagerWifiInfo::currentSsid()
{
    if (!m_bus.isConnected()) {
        qCDebug(lcPlatform) << "no system bus: current Wi-Fi network unknown";
        return {};
    }
    Reader reader(m_bus, m_timeoutMs);
    const QString managerPath = QString::fromLatin1(kManagerPath);

    QStringList connections;
    const QString primary = reader.objectPath(managerPath, kManagerInterface, "PrimaryConnection");
    if (!primary.isEmpty())
        connections.append(primary);
    for (const QString& active : reader.objectPaths(managerPath, kManagerInterface, "ActiveConnections")) {
        if (!connections.contains(active))
            connections.append(active);
    }

    for (const QString& connection : connections.mid(0, kMaxConnections)) {
        if (reader.string(connection, kActiveInterface, "Type") != QLatin1String(kWirelessType))
            continue;
        // For a wireless connection the specific object is its access point.
        const QString accessPoint = reader.objectPath(connection, kActiveInterface, "SpecificObject");
        if (!accessPoint.isEmpty()) {
            const QString ssid = ssidOf(reader, accessPoint);
            if (!ssid.isEmpty())
                return ssid;
        }
        for (const QString& device : reader.objectPaths(connection, kActiveInterface, "Devices")) {
            const QString deviceAccessPoint =
                reader.objectPath(device, kWirelessInterface, "ActiveAccessPoint");
            if (deviceAccessPoint.isEmpty())
                continue;
            const QString ssid = ssidOf(reader, deviceAccessPoint);
            if (!ssid.isEmpty())
                return ssid;
        }
    }
    return {};
}
