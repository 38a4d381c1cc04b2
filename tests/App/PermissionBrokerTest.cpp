// Runs on a private session bus (dbus-run-session).
#include "Pikora/Platform/DBusPermissionBroker.h"
#include "tests/TestSupport/FakePermissionBroker.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QTest>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>

namespace {

const QString kOwnIdentifier = QStringLiteral("com.quorbel.Pikora");
const QString kReceiverApp = QString::fromLatin1(PermissionBroker::kReceiverApplicationIdentifier);
const QString kRequest = QString::fromLatin1(PermissionBroker::kRequestName);
const QString kReply = QString::fromLatin1(PermissionBroker::kReplyName);

struct Notification
{
    QString name;
    QString object;
    QVariantMap userInfo;
};

// The other application's side: its own bus connection, posting notifications and
// collecting every one it sees.
class Peer : public QObject
{
    Q_OBJECT
public:
    explicit Peer(const QString& connectionName)
        : bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName))
    {
        bus.connect(QString(), DBusPermissionBroker::kObjectPath, DBusPermissionBroker::kInterface,
                    DBusPermissionBroker::kSignalName, this, SLOT(onPost(QDBusMessage)));
    }
    ~Peer() override { QDBusConnection::disconnectFromBus(bus.name()); }

    // Replies posted by brokers (the peer sees what it posts itself too, and one test posts
    // a reply of its own in the other application's name).
    QList<Notification> replies() const
    {
        QList<Notification> result;
        for (const auto& n : seen) {
            if (n.name == kReply && n.object != kReceiverApp)
                result.append(n);
        }
        return result;
    }

    QDBusConnection bus;
    QList<Notification> seen;

private slots:
    void onPost(const QDBusMessage& message)
    {
        const auto args = message.arguments();
        Notification n{args.value(0).toString(), args.value(1).toString(), {}};
        if (args.size() > 2)
            n.userInfo = qdbus_cast<QVariantMap>(args.at(2).value<QDBusArgument>());
        seen.append(n);
    }
};

class DBusPermissionBrokerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run under dbus-run-session";
        broker = std::make_unique<DBusPermissionBroker>(kOwnIdentifier, [this] {
            ++questions;
            askedOnMainThread = askedOnMainThread && QThread::currentThread() == qApp->thread();
            return allow.load();
        });
        ASSERT_TRUE(broker->start());
        ASSERT_TRUE(broker->isListening());
        ASSERT_TRUE(waitUntilAnswering());
        questions = 0;
    }

    // The bus adds signal subscriptions in the background, so a broker (or the peer) may miss
    // what is posted right after it starts listening. Ask until some broker answers, let any
    // late answers arrive, and start the test from a clean record.
    bool waitUntilAnswering()
    {
        bool answered = false;
        for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
            DBusPermissionBroker::postNotification(peer.bus, kRequest, kReceiverApp);
            answered = QTest::qWaitFor([&] { return !peer.replies().isEmpty(); }, 100);
        }
        QTest::qWait(200);
        peer.seen.clear();
        return answered;
    }

    // Posts `name` from `object` and waits for `count` replies in all.
    bool postAndWait(const QString& name, const QString& object, int count)
    {
        if (!DBusPermissionBroker::postNotification(peer.bus, name, object))
            return false;
        return QTest::qWaitFor([&] { return peer.replies().size() >= count; }, 5000);
    }

    Peer peer{QStringLiteral("peer")};
    std::unique_ptr<DBusPermissionBroker> broker;
    std::atomic<bool> allow{true};
    int questions = 0;
    bool askedOnMainThread = true;
};

TEST_F(DBusPermissionBrokerTest, AnswersRequestsWithTheCurrentAnswer)
{
    ASSERT_TRUE(postAndWait(kRequest, kReceiverApp, 1));
    allow = false;
    ASSERT_TRUE(postAndWait(kRequest, kReceiverApp, 2));

    const auto replies = peer.replies();
    ASSERT_EQ(replies.size(), 2);
    for (const auto& reply : replies) {
        EXPECT_EQ(reply.object, kOwnIdentifier);
        ASSERT_TRUE(reply.userInfo.contains("isAllow"));
        EXPECT_EQ(reply.userInfo.value("isAllow").metaType().id(), QMetaType::Bool);
    }
    EXPECT_TRUE(replies[0].userInfo.value("isAllow").toBool());
    EXPECT_FALSE(replies[1].userInfo.value("isAllow").toBool());
    EXPECT_EQ(questions, 2);
    EXPECT_TRUE(askedOnMainThread);
}

TEST_F(DBusPermissionBrokerTest, IgnoresOtherNamesOtherSendersAndMalformedSignals)
{
    ASSERT_TRUE(DBusPermissionBroker::postNotification(peer.bus, "SomethingElse", kReceiverApp));
    ASSERT_TRUE(DBusPermissionBroker::postNotification(peer.bus, kRequest, "com.example.Other"));
    ASSERT_TRUE(DBusPermissionBroker::postNotification(peer.bus, kReply, kReceiverApp, {{"isAllow", true}}));
    QDBusMessage malformed =
        QDBusMessage::createSignal(DBusPermissionBroker::kObjectPath, DBusPermissionBroker::kInterface,
                                   DBusPermissionBroker::kSignalName);
    malformed << 42 << kReceiverApp;
    ASSERT_TRUE(peer.bus.send(malformed));
    QDBusMessage truncated =
        QDBusMessage::createSignal(DBusPermissionBroker::kObjectPath, DBusPermissionBroker::kInterface,
                                   DBusPermissionBroker::kSignalName);
    truncated << kRequest;
    ASSERT_TRUE(peer.bus.send(truncated));

    // Signals from one connection arrive in order: once this request is answered, the ones
    // before it have been seen.
    ASSERT_TRUE(postAndWait(kRequest, kReceiverApp, 1));
    EXPECT_EQ(questions, 1);
    EXPECT_EQ(peer.replies().size(), 1);
}

TEST_F(DBusPermissionBrokerTest, RequestsPostedFromAnotherThreadAreAnsweredOnTheMainThread)
{
    QThread* poster = QThread::create([] {
        auto bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "poster");
        DBusPermissionBroker::postNotification(bus, kRequest, kReceiverApp);
        QDBusConnection::disconnectFromBus("poster");
    });
    poster->start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return peer.replies().size() == 1; }, 5000));
    poster->wait();
    delete poster;
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(askedOnMainThread);
}

TEST_F(DBusPermissionBrokerTest, StoppedBrokerAnswersNothing)
{
    broker->stop();
    EXPECT_FALSE(broker->isListening());
    // A second, listening broker shows when the request has gone round.
    DBusPermissionBroker witness("com.example.Witness", [] { return true; });
    ASSERT_TRUE(witness.start());
    ASSERT_TRUE(waitUntilAnswering());
    ASSERT_TRUE(postAndWait(kRequest, kReceiverApp, 1));
    QTest::qWait(50); // room for a stray answer to arrive
    EXPECT_EQ(questions, 0);
    ASSERT_EQ(peer.replies().size(), 1);
    EXPECT_EQ(peer.replies().front().object, "com.example.Witness");
}

TEST(DBusPermissionBroker, MissingBusIsReportedNotFatal)
{
    auto bus = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "missing");
    DBusPermissionBroker broker(
        kOwnIdentifier, [] { return true; }, bus);
    EXPECT_FALSE(broker.start());
    EXPECT_FALSE(broker.isListening());
    QDBusConnection::disconnectFromBus("missing");
}

TEST(FakePermissionBroker, AnswersOnlyWellFormedRequestsWhileListening)
{
    FakePermissionBroker fake(kOwnIdentifier);
    bool allow = true;
    fake.setAllowQuery([&] { return allow; });
    EXPECT_FALSE(fake.deliverRequest()) << "not started";
    ASSERT_TRUE(fake.start());
    EXPECT_EQ(fake.deliverRequest(), true);
    allow = false;
    EXPECT_EQ(fake.deliverRequest(), false);
    EXPECT_FALSE(fake.deliverNotification(kRequest, "com.example.Other"));
    EXPECT_FALSE(fake.deliverNotification("Other", kReceiverApp));
    ASSERT_EQ(fake.replies().size(), 2);
    EXPECT_EQ(fake.replies()[0].object, kOwnIdentifier);

    FakePermissionBroker noBus;
    noBus.setAvailable(false);
    EXPECT_FALSE(noBus.start());
}

} // namespace

#include "PermissionBrokerTest.moc"
