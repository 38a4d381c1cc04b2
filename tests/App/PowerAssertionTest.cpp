// Runs on a private session bus (dbus-run-session). The screen-saver and login1 services are
// played by small objects registered on that bus by the tests.
#include "Pikora/Platform/DBusPowerAssertion.h"
#include "tests/TestSupport/FakePowerAssertion.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QMutex>
#include <QTest>
#include <QThread>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <unistd.h>

namespace {

using Type = PowerAssertion::Type;
using Error = PowerAssertion::Error;

const QString kName = QStringLiteral("Pikora is on it's session!");

// Hosts a service object on a bus connection of its own, served from a thread of its own so
// the blocking calls of the code under test can be answered.
class ServiceHost
{
public:
    ServiceHost(const QString& service, const QString& path, QObject* object)
        : m_object(object), m_connectionName("service-" + service + path)
    {
        m_bus = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName));
        m_registered = m_bus->registerObject(path, object, QDBusConnection::ExportAllSlots);
        m_thread.start();
        object->moveToThread(&m_thread);
        m_registered = m_registered && m_bus->registerService(service);
        m_service = service;
    }

    ~ServiceHost()
    {
        m_bus->unregisterService(m_service);
        m_bus.reset();
        QDBusConnection::disconnectFromBus(m_connectionName);
        m_thread.quit();
        m_thread.wait();
        delete m_object;
    }

    bool registered() const { return m_registered; }

    // Serves another object on the same connection; it is deleted with the host.
    bool addObject(const QString& path, QObject* object)
    {
        m_extra.emplace_back(object);
        const bool ok = m_bus->registerObject(path, object, QDBusConnection::ExportAllSlots);
        object->moveToThread(&m_thread);
        return ok;
    }

private:
    QThread m_thread;
    QObject* m_object;
    QString m_connectionName;
    QString m_service;
    std::unique_ptr<QDBusConnection> m_bus;
    bool m_registered = false;
    struct Later
    {
        void operator()(QObject* o) const { delete o; }
    };
    std::vector<std::unique_ptr<QObject, Later>> m_extra;
};

class MockScreenSaver : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    QStringList inhibitCalls() const
    {
        QMutexLocker lock(&m_mutex);
        return m_inhibits;
    }
    QList<uint> unInhibitCalls() const
    {
        QMutexLocker lock(&m_mutex);
        return m_uninhibits;
    }

public slots:
    uint Inhibit(const QString& application, const QString& reason)
    {
        QMutexLocker lock(&m_mutex);
        m_inhibits.append(application + "|" + reason);
        return 1000 + m_inhibits.size();
    }
    void UnInhibit(uint cookie)
    {
        QMutexLocker lock(&m_mutex);
        m_uninhibits.append(cookie);
    }

private:
    mutable QMutex m_mutex;
    QStringList m_inhibits;
    QList<uint> m_uninhibits;
};

// The desktop portal's Inhibit and the Request objects it hands out.
class MockPortalInhibit : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")
public:
    QStringList calls() const
    {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }

public slots:
    QDBusObjectPath Inhibit(const QString& window, uint flags, const QVariantMap& options)
    {
        QMutexLocker lock(&m_mutex);
        m_calls.append(
            QStringLiteral("%1|%2|%3").arg(window).arg(flags).arg(options.value("reason").toString()));
        return QDBusObjectPath(
            QStringLiteral("/org/freedesktop/portal/desktop/request/1_1/t%1").arg(m_calls.size()));
    }

private:
    mutable QMutex m_mutex;
    QStringList m_calls;
};

// Records the Close calls on any request path below it.
class MockPortalRequest : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")
public:
    QStringList closed() const
    {
        QMutexLocker lock(&m_mutex);
        return m_closed;
    }

public slots:
    void Close()
    {
        QMutexLocker lock(&m_mutex);
        m_closed.append(message().path());
    }

private:
    mutable QMutex m_mutex;
    QStringList m_closed;
};

// A screen saver that answers Inhibit with the wrong type.
class BrokenScreenSaver : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public slots:
    QString Inhibit(const QString&, const QString&) { return QStringLiteral("not a cookie"); }
};

// login1's inhibitor: hands out the write end of a pipe and keeps the read end, which sees
// end-of-file once every copy of the write end is closed, that is once the inhibitor is gone.
class MockLogin1 : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    explicit MockLogin1(bool deny = false) : m_deny(deny) {}
    ~MockLogin1() override
    {
        if (m_readEnd >= 0)
            ::close(m_readEnd);
    }

    QStringList arguments() const
    {
        QMutexLocker lock(&m_mutex);
        return m_arguments;
    }
    int readEnd() const
    {
        QMutexLocker lock(&m_mutex);
        return m_readEnd;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode)
    {
        QMutexLocker lock(&m_mutex);
        m_arguments = {what, who, why, mode};
        if (m_deny) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("not allowed"));
            return {};
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return {};
        m_readEnd = fds[0];
        QDBusUnixFileDescriptor descriptor(fds[1]); // keeps a duplicate
        ::close(fds[1]);
        return descriptor;
    }

private:
    mutable QMutex m_mutex;
    bool m_deny;
    QStringList m_arguments;
    int m_readEnd = -1;
};

bool writersGone(int readEnd)
{
    pollfd p{readEnd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

TEST(FakePowerAssertion, HandsOutDistinctIdentifiersAndRecordsReleases)
{
    FakePowerAssertion fake;
    const auto display = fake.create(Type::NoDisplaySleep, kName);
    const auto idle = fake.create(Type::NoIdleSleep, kName);
    ASSERT_TRUE(display.ok && idle.ok);
    EXPECT_NE(display.id, 0u);
    EXPECT_NE(display.id, idle.id);
    EXPECT_EQ(fake.heldCount(Type::NoIdleSleep), 1);

    EXPECT_TRUE(fake.release(display.id));
    EXPECT_FALSE(fake.release(display.id));
    EXPECT_FALSE(fake.release(0));
    EXPECT_EQ(fake.releaseCalls(), (QList<PowerAssertion::Id>{display.id, display.id, 0}));

    fake.setFailure(Type::NoDisplaySleep, Error::ServiceUnavailable);
    const auto failed = fake.create(Type::NoDisplaySleep, kName);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.id, 0u);
    EXPECT_EQ(failed.code(), 2);
    EXPECT_EQ(fake.heldCount(), 1);
}

TEST(DBusPowerAssertion, MissingServicesAreFailureCodes)
{
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run under dbus-run-session";
    // The private bus has neither service; it stands in for the system bus too.
    DBusPowerAssertion assertions(QDBusConnection::sessionBus(), QDBusConnection::sessionBus());
    for (Type type : {Type::NoDisplaySleep, Type::NoIdleSleep}) {
        const auto result = assertions.create(type, kName);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.id, 0u);
        EXPECT_EQ(result.error, Error::ServiceUnavailable) << result.message.toStdString();
    }
    EXPECT_EQ(assertions.heldCount(), 0);
    EXPECT_FALSE(assertions.release(0));
    EXPECT_FALSE(assertions.release(77));
}

TEST(DBusPowerAssertion, MissingBusesAreFailureCodes)
{
    auto nowhere = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "nowhere");
    DBusPowerAssertion assertions(nowhere, nowhere);
    EXPECT_EQ(assertions.create(Type::NoDisplaySleep, kName).error, Error::NoBus);
    EXPECT_EQ(assertions.create(Type::NoIdleSleep, kName).error, Error::NoBus);
    QDBusConnection::disconnectFromBus("nowhere");
}

TEST(DBusPowerAssertion, DisplaySleepIsInhibitedThroughTheScreenSaver)
{
    auto* screenSaver = new MockScreenSaver;
    ServiceHost host("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", screenSaver);
    ASSERT_TRUE(host.registered());
    {
        DBusPowerAssertion assertions(QDBusConnection::sessionBus(), QDBusConnection::sessionBus());
        const auto first = assertions.create(Type::NoDisplaySleep, kName);
        const auto second = assertions.create(Type::NoDisplaySleep, kName);
        ASSERT_TRUE(first.ok) << first.message.toStdString();
        ASSERT_TRUE(second.ok);
        EXPECT_NE(first.id, 0u);
        EXPECT_NE(first.id, second.id);
        EXPECT_EQ(first.code(), 0);
        ASSERT_EQ(screenSaver->inhibitCalls().size(), 2);
        EXPECT_TRUE(screenSaver->inhibitCalls().front().endsWith("|" + kName));

        EXPECT_TRUE(assertions.release(first.id));
        EXPECT_EQ(screenSaver->unInhibitCalls(), QList<uint>{1001});
        EXPECT_FALSE(assertions.release(first.id));
        EXPECT_EQ(assertions.heldCount(), 1);
    }
    // What was still held goes with the object.
    EXPECT_EQ(screenSaver->unInhibitCalls(), (QList<uint>{1001, 1002}));
}

TEST(DBusPowerAssertion, ScreenSaverOnlyOnItsOlderPathStillServes)
{
    auto* screenSaver = new MockScreenSaver;
    ServiceHost host("org.freedesktop.ScreenSaver", "/ScreenSaver", screenSaver);
    ASSERT_TRUE(host.registered());
    DBusPowerAssertion assertions(QDBusConnection::sessionBus(), QDBusConnection::sessionBus());
    const auto result = assertions.create(Type::NoDisplaySleep, kName);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    EXPECT_TRUE(assertions.release(result.id));
    EXPECT_EQ(screenSaver->unInhibitCalls(), QList<uint>{1001});
}

TEST(DBusPowerAssertion, UnusableScreenSaverAnswerIsABadReply)
{
    ServiceHost host("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", new BrokenScreenSaver);
    ASSERT_TRUE(host.registered());
    DBusPowerAssertion assertions(QDBusConnection::sessionBus(), QDBusConnection::sessionBus());
    const auto result = assertions.create(Type::NoDisplaySleep, kName);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, Error::BadReply);
    EXPECT_EQ(result.id, 0u);
}

TEST(DBusPowerAssertion, IdleSleepInhibitorIsHeldExactlyWhileTheDescriptorIsOpen)
{
    auto* login1 = new MockLogin1;
    ServiceHost host("org.freedesktop.login1", "/org/freedesktop/login1", login1);
    ASSERT_TRUE(host.registered());
    DBusPowerAssertion assertions(QDBusConnection::sessionBus(), QDBusConnection::sessionBus());

    const auto result = assertions.create(Type::NoIdleSleep, kName);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    ASSERT_EQ(login1->arguments().size(), 4);
    EXPECT_EQ(login1->arguments()[0], "sleep:idle");
    EXPECT_EQ(login1->arguments()[2], kName);
    EXPECT_EQ(login1->arguments()[3], "block");

    const int readEnd = login1->readEnd();
    ASSERT_GE(readEnd, 0);
    QTest::qWait(20);
    EXPECT_FALSE(writersGone(readEnd)) << "the inhibitor must stay held";

    EXPECT_TRUE(assertions.release(result.id));
    EXPECT_TRUE(QTest::qWaitFor([&] { return writersGone(readEnd); }, 5000)) << "release must close it";
}

TEST(DBusPowerAssertion, DeniedInhibitorIsRefused)
{
    ServiceHost host("org.freedesktop.login1", "/org/freedesktop/login1", new MockLogin1(/*deny=*/true));
    ASSERT_TRUE(host.registered());
    DBusPowerAssertion assertions(QDBusConnection::sessionBus(), QDBusConnection::sessionBus());
    const auto result = assertions.create(Type::NoIdleSleep, kName);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, Error::Refused) << result.message.toStdString();
}

} // namespace

#include "PowerAssertionTest.moc"

TEST(DBusPowerAssertion, WithoutAScreenSaverTheDesktopPortalKeepsTheDisplayAwake)
{
    auto* inhibit = new MockPortalInhibit;
    auto* request = new MockPortalRequest;
    ServiceHost host("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", inhibit);
    ASSERT_TRUE(host.registered());
    ASSERT_TRUE(host.addObject("/org/freedesktop/portal/desktop/request/1_1/t1", request));
    DBusPowerAssertion assertions(QDBusConnection::sessionBus(), QDBusConnection::sessionBus());
    const auto result = assertions.create(Type::NoDisplaySleep, kName);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    ASSERT_EQ(inhibit->calls().size(), 1);
    EXPECT_EQ(inhibit->calls().front(), "|8|" + kName) << "idle, for no window";
    // Idle sleep still goes to login1 (absent here), never to the portal.
    EXPECT_EQ(assertions.create(Type::NoIdleSleep, kName).error, Error::ServiceUnavailable);
    EXPECT_EQ(inhibit->calls().size(), 1);
    // Releasing closes the request the portal handed out.
    EXPECT_TRUE(assertions.release(result.id));
    EXPECT_EQ(request->closed(), QStringList{"/org/freedesktop/portal/desktop/request/1_1/t1"});
}
