// Runs on a private session bus (dbus-run-session), which plays the system bus with a small
// NetworkManager of the test's own.
#include "Pikora/Platform/NetworkManagerWifiInfo.h"
#include "tests/TestSupport/FakeWifiNetworkInfo.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QThread>
#include <gtest/gtest.h>
#include <map>

namespace {

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kRoot = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString kActive = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString kWireless = QStringLiteral("org.freedesktop.NetworkManager.Device.Wireless");
const QString kAccessPoint = QStringLiteral("org.freedesktop.NetworkManager.AccessPoint");

QVariant path(const QString& p)
{
    return QVariant::fromValue(QDBusObjectPath(p));
}

QVariant paths(const QStringList& ps)
{
    QList<QDBusObjectPath> list;
    for (const auto& p : ps)
        list.append(QDBusObjectPath(p));
    return QVariant::fromValue(list);
}

// Answers org.freedesktop.DBus.Properties.Get for every object under kRoot from a table;
// a silent one never answers at all.
class MockNetworkManager : public QDBusVirtualObject
{
public:
    explicit MockNetworkManager(bool silent = false) : m_silent(silent) {}

    void set(const QString& objectPath, const QString& interface, const QString& name, const QVariant& value)
    {
        QMutexLocker lock(&m_mutex);
        m_properties[objectPath + "|" + interface + "|" + name] = value;
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.interface() != QLatin1String("org.freedesktop.DBus.Properties") ||
            message.member() != QLatin1String("Get") || message.arguments().size() != 2)
            return false;
        if (m_silent)
            return true;
        const QString key = message.path() + "|" + message.arguments()[0].toString() + "|" +
                            message.arguments()[1].toString();
        QMutexLocker lock(&m_mutex);
        const auto it = m_properties.find(key);
        if (it == m_properties.end())
            connection.send(message.createErrorReply(QDBusError::UnknownProperty, key));
        else
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(it->second))));
        return true;
    }

private:
    bool m_silent;
    QMutex m_mutex;
    std::map<QString, QVariant> m_properties;
};

class NetworkManagerWifiInfoTest : public ::testing::Test
{
protected:
    void serve(bool silent = false)
    {
        nm = std::make_unique<MockNetworkManager>(silent);
        bus = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, "nm"));
        ASSERT_TRUE(bus->registerVirtualObject(kRoot, nm.get(), QDBusConnection::SubPath));
        // Served from a thread of its own, so the blocking calls under test get answers.
        thread.start();
        nm->moveToThread(&thread);
        ASSERT_TRUE(bus->registerService(kService));
        // Nothing is connected until a test says so.
        nm->set(kRoot, kManager, "PrimaryConnection", path("/"));
        nm->set(kRoot, kManager, "ActiveConnections", paths({}));
    }

    void TearDown() override
    {
        if (bus) {
            bus->unregisterService(kService);
            bus->unregisterObject(kRoot, QDBusConnection::UnregisterTree);
            bus.reset();
            QDBusConnection::disconnectFromBus("nm");
        }
        thread.quit();
        thread.wait();
    }

    // An active connection of `type` at /ActiveConnection/<n>.
    QString addConnection(int n, const QString& type, const QString& specificObject,
                          const QStringList& devices = {})
    {
        const QString p = kRoot + "/ActiveConnection/" + QString::number(n);
        nm->set(p, kActive, "Type", type);
        nm->set(p, kActive, "SpecificObject", path(specificObject));
        nm->set(p, kActive, "Devices", paths(devices));
        return p;
    }

    QString addAccessPoint(int n, const QByteArray& ssid)
    {
        const QString p = kRoot + "/AccessPoint/" + QString::number(n);
        nm->set(p, kAccessPoint, "Ssid", ssid);
        return p;
    }

    QString currentSsid()
    {
        return NetworkManagerWifiInfo(QDBusConnection::sessionBus(), 2000).currentSsid();
    }

    QThread thread;
    std::unique_ptr<MockNetworkManager> nm;
    std::unique_ptr<QDBusConnection> bus;
};

TEST_F(NetworkManagerWifiInfoTest, NoNetworkManagerOrNoBusMeansNoNetwork)
{
    EXPECT_EQ(currentSsid(), QString());
    auto nowhere = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "nowhere");
    EXPECT_EQ(NetworkManagerWifiInfo(nowhere).currentSsid(), QString());
    QDBusConnection::disconnectFromBus("nowhere");
}

TEST_F(NetworkManagerWifiInfoTest, ReadsTheSsidOfThePrimaryWirelessConnection)
{
    serve();
    const QString ap = addAccessPoint(1, "Lab-5G");
    const QString wifi = addConnection(1, "802-11-wireless", ap);
    nm->set(kRoot, kManager, "PrimaryConnection", path(wifi));
    nm->set(kRoot, kManager, "ActiveConnections", paths({wifi}));
    EXPECT_EQ(currentSsid(), "Lab-5G");
}

TEST_F(NetworkManagerWifiInfoTest, LooksBeyondAWiredPrimaryConnection)
{
    serve();
    const QString wired = addConnection(1, "802-3-ethernet", "/");
    const QString wifi = addConnection(2, "802-11-wireless", addAccessPoint(7, "Caf\xc3\xa9 2.4"));
    nm->set(kRoot, kManager, "PrimaryConnection", path(wired));
    nm->set(kRoot, kManager, "ActiveConnections", paths({wired, wifi}));
    EXPECT_EQ(currentSsid(), QString::fromUtf8("Caf\xc3\xa9 2.4"));
}

TEST_F(NetworkManagerWifiInfoTest, FallsBackToTheDevicesAccessPoint)
{
    serve();
    const QString device = kRoot + "/Devices/3";
    nm->set(device, kWireless, "ActiveAccessPoint", path(addAccessPoint(2, "Office")));
    const QString wifi = addConnection(1, "802-11-wireless", "/", {device});
    nm->set(kRoot, kManager, "ActiveConnections", paths({wifi}));
    EXPECT_EQ(currentSsid(), "Office");
}

TEST_F(NetworkManagerWifiInfoTest, NoWirelessConnectionOrAnImpossibleSsidMeansNoNetwork)
{
    serve();
    const QString wired = addConnection(1, "802-3-ethernet", "/");
    nm->set(kRoot, kManager, "ActiveConnections", paths({wired}));
    EXPECT_EQ(currentSsid(), QString());

    // More than 32 bytes cannot be an SSID; nor can a type that is not bytes.
    const QString wifi = addConnection(2, "802-11-wireless", addAccessPoint(3, QByteArray(33, 'x')));
    const QString odd = addConnection(3, "802-11-wireless", kRoot + "/AccessPoint/4");
    nm->set(kRoot + "/AccessPoint/4", kAccessPoint, "Ssid", QStringLiteral("a string"));
    nm->set(kRoot, kManager, "ActiveConnections", paths({wired, wifi, odd}));
    EXPECT_EQ(currentSsid(), QString());
}

TEST_F(NetworkManagerWifiInfoTest, SilentNetworkManagerIsGivenUpOn)
{
    serve(/*silent=*/true);
    // Returns (empty) once the short deadline has passed, rather than hanging.
    EXPECT_EQ(NetworkManagerWifiInfo(QDBusConnection::sessionBus(), 200).currentSsid(), QString());
}

TEST(FakeWifiNetworkInfo, ReportsWhatTheTestSets)
{
    FakeWifiNetworkInfo wifi("Lab");
    EXPECT_EQ(wifi.currentSsid(), "Lab");
    wifi.setSsid({});
    EXPECT_EQ(wifi.currentSsid(), QString());
    EXPECT_EQ(wifi.queryCount(), 2);
}

} // namespace
