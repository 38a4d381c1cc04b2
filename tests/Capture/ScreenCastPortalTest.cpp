// The conversation with the desktop portal, against a portal played on a private session bus
// (dbus-run-session): no portal at all, a user who cancels, a portal that never answers, a
// saved permission that is refused (asked again, said why), and a good start whose answer is
// read by type; the remote-desktop session that shares the screen cast and drives the
// pointer, and the plain screen cast where the portal offers no usable remote desktop.
#include "Pikora/Capture/ScreenCastPortal.h"

#include "Pikora/Capture/PortalFrameSource.h"
#include "Support/DispatchQueue.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QEventLoop>
#include <QMutex>
#include <QThread>
#include <QTimer>
#include <cmath>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>

namespace {

struct Stream
{
    uint node = 0;
    QVariantMap props;
};
struct Pair
{
    int a = 0, b = 0;
};
QDBusArgument& operator<<(QDBusArgument& arg, const Stream& s)
{
    arg.beginStructure();
    arg << s.node << s.props;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, Stream& s)
{
    arg.beginStructure();
    arg >> s.node >> s.props;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const Pair& p)
{
    arg.beginStructure();
    arg << p.a << p.b;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, Pair& p)
{
    arg.beginStructure();
    arg >> p.a >> p.b;
    arg.endStructure();
    return arg;
}

} // namespace

Q_DECLARE_METATYPE(Stream)
Q_DECLARE_METATYPE(Pair)

// org.freedesktop.portal.ScreenCast as a scripted portal: each request is answered with the
// response the test chose for that step (or never, for a silent portal).
class FakeScreenCastPortal : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.ScreenCast")
    Q_PROPERTY(uint version READ version)
    Q_PROPERTY(uint AvailableSourceTypes READ sourceTypes)
    Q_PROPERTY(uint AvailableCursorModes READ cursorModes)

public:
    explicit FakeScreenCastPortal(QDBusConnection bus) : m_bus(std::move(bus)) {}
    uint version() const { return 4; }
    uint sourceTypes() const { return 1; }
    uint cursorModes() const { return 3; }

    // Response codes per step; nothing = never answer.
    std::optional<uint> createResponse = 0;
    std::optional<uint> selectResponse = 0;
    std::optional<uint> startResponse = 0;
    // Start's response when the client sent a restore token.
    std::optional<uint> startResponseWithToken = 0;

    QStringList log() const
    {
        QMutexLocker lock(&m_mutex);
        return m_log;
    }

public slots:
    QDBusObjectPath CreateSession(const QVariantMap& options)
    {
        record("create");
        const QString path = requestPath(options);
        const QString session = QStringLiteral("/org/freedesktop/portal/desktop/session/x/%1")
                                    .arg(options.value("session_handle_token").toString());
        respond(path, createResponse, {{QStringLiteral("session_handle"), session}});
        return QDBusObjectPath(path);
    }
    QDBusObjectPath SelectSources(const QDBusObjectPath&, const QVariantMap& options)
    {
        m_tokenSent = options.contains("restore_token");
        record(QStringLiteral("select persist=%1 token=%2 cursor=%3")
                   .arg(options.value("persist_mode").toUInt())
                   .arg(options.value("restore_token").toString())
                   .arg(options.value("cursor_mode").toUInt()));
        const QString path = requestPath(options);
        respond(path, selectResponse, {});
        return QDBusObjectPath(path);
    }
    QDBusObjectPath Start(const QDBusObjectPath&, const QString&, const QVariantMap& options)
    {
        record("start");
        const QString path = requestPath(options);
        QVariantMap results;
        Stream stream{42, {{QStringLiteral("size"), QVariant::fromValue(Pair{1600, 900})}}};
        results.insert(QStringLiteral("streams"), QVariant::fromValue(QList<Stream>{stream}));
        results.insert(QStringLiteral("restore_token"), QStringLiteral("fresh-token"));
        respond(path, m_tokenSent ? startResponseWithToken : startResponse, results);
        return QDBusObjectPath(path);
    }
    QDBusUnixFileDescriptor OpenPipeWireRemote(const QDBusObjectPath&, const QVariantMap&)
    {
        record("open");
        int fds[2];
        if (::pipe(fds) != 0)
            return {};
        QDBusUnixFileDescriptor fd(fds[0]); // duplicates
        ::close(fds[0]);
        ::close(fds[1]);
        return fd;
    }

    void record(const QString& line)
    {
        QMutexLocker lock(&m_mutex);
        m_log << line;
    }
    void setTokenSent(bool sent) { m_tokenSent = sent; }
    bool tokenSent() const { return m_tokenSent; }
    void respond(const QString& path, std::optional<uint> response, const QVariantMap& results)
    {
        if (!response)
            return;
        QDBusMessage signal = QDBusMessage::createSignal(
            path, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        signal << *response << results;
        // After the method's reply, as a real portal does.
        QTimer::singleShot(20, this, [this, signal] { m_bus.send(signal); });
    }

private:
    QString requestPath(const QVariantMap& options) const
    {
        QString sender = message().service().mid(1);
        sender.replace('.', '_');
        return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
            .arg(sender, options.value("handle_token").toString());
    }

    QDBusConnection m_bus;
    mutable QMutex m_mutex;
    QStringList m_log;
    bool m_tokenSent = false;
};

// org.freedesktop.portal.RemoteDesktop beside the screen cast, on the same object: records
// the conversation and the pointer events in the screen cast's log.
class FakeRemoteDesktop : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.RemoteDesktop")
    Q_PROPERTY(uint version READ version)
    Q_PROPERTY(uint AvailableDeviceTypes READ deviceTypes)

public:
    FakeRemoteDesktop(FakeScreenCastPortal* portal, uint version, uint deviceTypes)
        : QDBusAbstractAdaptor(portal), m_portal(portal), m_version(version), m_deviceTypes(deviceTypes)
    {
    }
    uint version() const { return m_version; }
    uint deviceTypes() const { return m_deviceTypes; }
    uint grantedDevices = 2;

public slots:
    QDBusObjectPath CreateSession(const QVariantMap& options)
    {
        m_portal->record("rd-create");
        const QString path = requestPath(options);
        const QString session = QStringLiteral("/org/freedesktop/portal/desktop/session/x/%1")
                                    .arg(options.value("session_handle_token").toString());
        m_portal->respond(path, 0, {{QStringLiteral("session_handle"), session}});
        return QDBusObjectPath(path);
    }
    QDBusObjectPath SelectDevices(const QDBusObjectPath&, const QVariantMap& options)
    {
        m_portal->setTokenSent(options.contains("restore_token"));
        m_portal->record(QStringLiteral("rd-select types=%1 persist=%2 token=%3")
                             .arg(options.value("types").toUInt())
                             .arg(options.value("persist_mode").toUInt())
                             .arg(options.value("restore_token").toString()));
        const QString path = requestPath(options);
        m_portal->respond(path, 0, {});
        return QDBusObjectPath(path);
    }
    QDBusObjectPath Start(const QDBusObjectPath&, const QString&, const QVariantMap& options)
    {
        m_portal->record("rd-start");
        const QString path = requestPath(options);
        QVariantMap results;
        Stream stream{42, {{QStringLiteral("size"), QVariant::fromValue(Pair{1600, 900})}}};
        results.insert(QStringLiteral("streams"), QVariant::fromValue(QList<Stream>{stream}));
        results.insert(QStringLiteral("devices"), QVariant::fromValue<uint>(grantedDevices));
        if (m_version >= 2)
            results.insert(QStringLiteral("restore_token"), QStringLiteral("rd-token"));
        m_portal->respond(path, 0, results);
        return QDBusObjectPath(path);
    }
    void NotifyPointerMotionAbsolute(const QDBusObjectPath&, const QVariantMap&, uint stream, double x,
                                     double y)
    {
        m_portal->record(QStringLiteral("motion stream=%1 %2,%3").arg(stream).arg(x).arg(y));
    }
    void NotifyPointerButton(const QDBusObjectPath&, const QVariantMap&, int button, uint state)
    {
        m_portal->record(QStringLiteral("button %1 %2").arg(button).arg(state));
    }

private:
    QString requestPath(const QVariantMap& options) const
    {
        // An adaptor gets no call context: the client is this process's session-bus connection.
        QString sender = QDBusConnection::sessionBus().baseService().mid(1);
        sender.replace('.', '_');
        return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
            .arg(sender, options.value("handle_token").toString());
    }

    FakeScreenCastPortal* m_portal;
    uint m_version;
    uint m_deviceTypes;
};

namespace {

// Serves the fake on its own connection and thread.
class PortalHost
{
public:
    // remoteVersion 0: no RemoteDesktop interface at all.
    explicit PortalHost(uint remoteVersion = 0, uint deviceTypes = 7)
        : m_name(QStringLiteral("fake-portal-%1").arg(++s_count))
    {
        m_bus = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_name));
        portal = new FakeScreenCastPortal(*m_bus);
        if (remoteVersion > 0)
            remote = new FakeRemoteDesktop(portal, remoteVersion, deviceTypes);
        // Registered before the move: exporting adaptors gives the object a child, which must
        // be created on the object's thread (it moves along with it).
        registered =
            m_bus->registerObject("/org/freedesktop/portal/desktop", portal,
                                  QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                                      QDBusConnection::ExportAdaptors);
        m_thread.start();
        portal->moveToThread(&m_thread);
        registered = registered && m_bus->registerService("org.freedesktop.portal.Desktop");
    }
    ~PortalHost()
    {
        m_bus->unregisterService("org.freedesktop.portal.Desktop");
        m_bus.reset();
        QDBusConnection::disconnectFromBus(m_name);
        m_thread.quit();
        m_thread.wait();
        delete portal;
    }
    FakeScreenCastPortal* portal = nullptr;
    FakeRemoteDesktop* remote = nullptr; // owned by `portal`
    bool registered = false;

private:
    static inline int s_count = 0;
    QString m_name;
    QThread m_thread;
    std::unique_ptr<QDBusConnection> m_bus;
};

ScreenCastPortal::Result run(const ScreenCastPortal::Options& options)
{
    ScreenCastPortal portal(QDBusConnection::sessionBus());
    std::optional<ScreenCastPortal::Result> result;
    QEventLoop loop;
    portal.begin(options, [&](const ScreenCastPortal::Result& r) {
        result = r;
        loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    if (!result)
        loop.exec();
    EXPECT_TRUE(result) << "no result within 5 s";
    return result.value_or(ScreenCastPortal::Result{});
}

ScreenCastPortal::Options quick()
{
    ScreenCastPortal::Options o;
    o.callTimeout = std::chrono::milliseconds(1000);
    o.requestTimeout = std::chrono::milliseconds(300);
    o.interactiveTimeout = std::chrono::milliseconds(300);
    return o;
}

} // namespace

class ScreenCastPortalBusTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        qDBusRegisterMetaType<Stream>();
        qDBusRegisterMetaType<QList<Stream>>();
        qDBusRegisterMetaType<Pair>();
    }
};

TEST_F(ScreenCastPortalBusTest, NoPortalIsReportedAsMissing)
{
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run under dbus-run-session";
    const auto result = run(quick());
    EXPECT_EQ(result.outcome, ScreenCastPortal::Outcome::PortalMissing) << result.reason.toStdString();
    EXPECT_EQ(result.pipeWireFd, -1);
}

TEST_F(ScreenCastPortalBusTest, GoodStartIsReadByTypeAndHandsOverTheStream)
{
    PortalHost host;
    ASSERT_TRUE(host.registered);
    auto options = quick();
    options.restoreToken = QStringLiteral("saved-token");
    const auto result = run(options);
    ASSERT_EQ(result.outcome, ScreenCastPortal::Outcome::Started) << result.reason.toStdString();
    EXPECT_EQ(result.nodeId, 42u);
    EXPECT_EQ(result.size, QSize(1600, 900));
    EXPECT_EQ(result.restoreToken, "fresh-token");
    EXPECT_TRUE(result.usedRestoreToken);
    EXPECT_GE(result.pipeWireFd, 0);
    if (result.pipeWireFd >= 0)
        ::close(result.pipeWireFd);
    const QStringList log = host.portal->log();
    ASSERT_EQ(log.size(), 4) << log.join(", ").toStdString();
    EXPECT_EQ(log[1], "select persist=2 token=saved-token cursor=2")
        << "monitor, remembered, pointer drawn in";
}

TEST_F(ScreenCastPortalBusTest, CancelledAndSilentPortalsEndTheConversation)
{
    PortalHost host;
    ASSERT_TRUE(host.registered);
    host.portal->startResponse = 1;
    auto result = run(quick());
    EXPECT_EQ(result.outcome, ScreenCastPortal::Outcome::Cancelled);

    host.portal->startResponse = std::nullopt; // the dialog is never answered
    result = run(quick());
    EXPECT_EQ(result.outcome, ScreenCastPortal::Outcome::TimedOut);

    host.portal->createResponse = std::nullopt;
    result = run(quick());
    EXPECT_EQ(result.outcome, ScreenCastPortal::Outcome::TimedOut);
}

TEST_F(ScreenCastPortalBusTest, RefusedSavedPermissionAsksAgainAndSaysWhy)
{
    PortalHost host;
    ASSERT_TRUE(host.registered);
    host.portal->startResponseWithToken = 2; // the token no longer holds
    host.portal->startResponse = 1;          // and the user then cancels the dialog

    QMutex mutex;
    QStringList saved;
    QList<PortalFrameSource::Notice> notices;
    PortalFrameSource::setRestoreTokenStore({[] { return QStringLiteral("old-token"); },
                                             [&](const QString& t) {
                                                 QMutexLocker lock(&mutex);
                                                 saved << t;
                                             }});
    PortalFrameSource::setNoticeHandler([&](PortalFrameSource::Notice n, const QString&) {
        QMutexLocker lock(&mutex);
        notices << n;
    });
    PortalFrameSource::setTimeouts(
        {std::chrono::milliseconds(1000), std::chrono::milliseconds(300), std::chrono::milliseconds(300)});
    {
        DispatchQueue queue("test frames");
        PortalFrameSource source;
        int frames = 0;
        ASSERT_TRUE(source.start(PortalFrameSource::kDisplayID, QSize(), 20, true, queue,
                                 [&frames](std::shared_ptr<CaptureSurface>) { ++frames; }));
        for (int i = 0; i < 100; ++i) {
            {
                QMutexLocker lock(&mutex);
                if (notices.size() >= 2)
                    break;
            }
            QThread::msleep(20);
        }
        source.stop();
        EXPECT_EQ(frames, 0);
    }
    PortalFrameSource::setNoticeHandler({});
    PortalFrameSource::setRestoreTokenStore({});
    PortalFrameSource::setTimeouts({});
    QMutexLocker lock(&mutex);
    EXPECT_EQ(notices, (QList<PortalFrameSource::Notice>{PortalFrameSource::Notice::AskingAgain,
                                                         PortalFrameSource::Notice::Failed}));
    EXPECT_EQ(saved, QStringList{QString()}) << "the refused token is forgotten";
    const QStringList log = host.portal->log();
    EXPECT_EQ(log.filter("token=old-token").size(), 1);
    EXPECT_EQ(log.filter("select persist=2 token= ").size(), 1) << log.join(", ").toStdString();
}

// Waits (on this thread's event loop) until the fake's log holds `line`.
bool waitForLine(FakeScreenCastPortal* portal, const QString& line)
{
    for (int i = 0; i < 250; ++i) {
        if (portal->log().contains(line))
            return true;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return false;
}

TEST_F(ScreenCastPortalBusTest, RemoteDesktopSessionSharesTheCastAndDrivesThePointer)
{
    PortalHost host(2);
    ASSERT_TRUE(host.registered);
    auto options = quick();
    options.pointer = true;
    options.restoreToken = QStringLiteral("saved-token");
    ScreenCastPortal portal(QDBusConnection::sessionBus());
    std::optional<ScreenCastPortal::Result> result;
    portal.begin(options, [&](const ScreenCastPortal::Result& r) { result = r; });
    for (int i = 0; i < 250 && !result; ++i) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    ASSERT_TRUE(result);
    ASSERT_EQ(result->outcome, ScreenCastPortal::Outcome::Started) << result->reason.toStdString();
    if (result->pipeWireFd >= 0)
        ::close(result->pipeWireFd);
    EXPECT_TRUE(result->pointer);
    EXPECT_TRUE(result->pointerNote.isEmpty()) << result->pointerNote.toStdString();
    EXPECT_EQ(result->restoreToken, "rd-token");
    EXPECT_TRUE(result->usedRestoreToken);
    // The remote-desktop session remembers the choice; the screen cast on it must not ask to.
    EXPECT_EQ(host.portal->log(), (QStringList{"rd-create", "rd-select types=2 persist=2 token=saved-token",
                                               "select persist=0 token= cursor=2", "rd-start", "open"}));

    // One call in flight at a time, so the portal cannot reorder them; the moves queued behind
    // the first collapse into the last.
    EXPECT_TRUE(portal.notifyPointerMotionAbsolute(10.5, 20));
    EXPECT_TRUE(portal.notifyPointerMotionAbsolute(11, 21));
    EXPECT_TRUE(portal.notifyPointerMotionAbsolute(12, 22));
    EXPECT_TRUE(portal.notifyPointerButton(ScreenCastPortal::kButtonLeft, true));
    EXPECT_TRUE(portal.notifyPointerButton(ScreenCastPortal::kButtonLeft, false));
    EXPECT_FALSE(portal.notifyPointerMotionAbsolute(std::nan(""), 1));
    EXPECT_TRUE(waitForLine(host.portal, "button 272 0")) << host.portal->log().join(", ").toStdString();
    const QStringList events = host.portal->log().mid(5);
    EXPECT_EQ(events, (QStringList{"motion stream=42 10.5,20", "motion stream=42 12,22", "button 272 1",
                                   "button 272 0"}));

    portal.close();
    EXPECT_FALSE(portal.notifyPointerButton(ScreenCastPortal::kButtonLeft, true)) << "no session any more";
}

TEST_F(ScreenCastPortalBusTest, WithoutAUsableRemoteDesktopThePlainCastRunsAndSaysWhy)
{
    struct Case
    {
        const char* what;
        uint remoteVersion;
        uint deviceTypes;
        bool withoutMemory;
        bool remote; // a remote-desktop session is expected
    };
    const Case cases[] = {
        {"no RemoteDesktop interface", 0, 0, false, false},
        {"keyboard only", 2, 1, false, false},
        {"version 1 cannot remember, dialogs not allowed", 1, 7, false, false},
        {"version 1 with a dialog at every projection allowed", 1, 7, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PortalHost host(c.remoteVersion, c.deviceTypes);
        ASSERT_TRUE(host.registered);
        auto options = quick();
        options.pointer = true;
        options.pointerWithoutMemory = c.withoutMemory;
        options.restoreToken = QStringLiteral("saved-token");
        const auto result = run(options);
        ASSERT_EQ(result.outcome, ScreenCastPortal::Outcome::Started) << result.reason.toStdString();
        if (result.pipeWireFd >= 0)
            ::close(result.pipeWireFd);
        EXPECT_EQ(result.pointer, c.remote);
        EXPECT_EQ(result.pointerNote.isEmpty(), c.remote) << result.pointerNote.toStdString();
        const QStringList log = host.portal->log();
        ASSERT_FALSE(log.isEmpty());
        EXPECT_EQ(log.first(), c.remote ? "rd-create" : "create");
        if (c.remote) {
            // Version 1 cannot persist: nothing remembered, no token sent anywhere.
            EXPECT_EQ(log.filter("persist=0 token=").size(), 2) << log.join(", ").toStdString();
            EXPECT_TRUE(result.restoreToken.isEmpty());
        } else {
            EXPECT_EQ(log.filter("select persist=2 token=saved-token").size(), 1)
                << log.join(", ").toStdString();
        }
    }
}

#include "ScreenCastPortalTest.moc"
