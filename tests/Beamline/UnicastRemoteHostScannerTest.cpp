// The unicast receiver query: a real reply ends the wait with the receiver's record, and
// nothing else does — not a silent receiver, not a reply from another port or address
// family, not a datagram that is no discovery reply, and not a record from an earlier query.
#include "Pikora/Discovery/UnicastRemoteHostScanner.h"

#include "Beamline/KPRemoteCommandGenerator.h"
#include "ReceiverEmulator.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QThread>
#include <QUdpSocket>
#include <future>
#include <gtest/gtest.h>

namespace {

std::unique_ptr<ReceiverEmulator> startReceiver(const char* address, const char* name,
                                                std::optional<QString> passcode = std::nullopt)
{
    ReceiverEmulatorConfig cfg;
    cfg.bindAddress = QHostAddress(QString::fromLatin1(address));
    cfg.name = QString::fromLatin1(name);
    cfg.discoveryPort = 0;
    cfg.controlPort = 0;
    cfg.configPort = -1;
    cfg.passcode = std::move(passcode);
    cfg.srcvers = QStringLiteral("3.2.1");
    auto rx = std::make_unique<ReceiverEmulator>(cfg);
    QString error;
    if (!rx->start(&error)) {
        ADD_FAILURE() << error.toStdString();
        return nullptr;
    }
    return rx;
}

QByteArray replyNamed(const char* name, const std::string& token = {})
{
    KPRemoteHost host;
    host.setHostName(QString::fromLatin1(name));
    host.setVendor(QStringLiteral("vistrel"));
    return KPRemoteCommandGenerator().commandEchoReply(host, token);
}

// The token of the query `scanner` has under way, once it has one.
std::string tokenOfRunningQuery(const UnicastRemoteHostScanner& scanner)
{
    for (int i = 0; i < 2000 && scanner.queryToken().empty(); ++i)
        QThread::msleep(2);
    return scanner.queryToken();
}

} // namespace

TEST(UnicastRemoteHostScanner, AnsweringReceiverGivesItsRecordBeforeTheTimeout)
{
    auto rx = startReceiver("127.0.0.2", "Room-101", QStringLiteral("4711"));
    ASSERT_TRUE(rx);
    UnicastRemoteHostScanner scanner(rx->discoveryPort());
    EXPECT_FALSE(scanner.hasSocket());

    QElapsedTimer clock;
    clock.start();
    const auto record = scanner.unicast(QStringLiteral("127.0.0.2"), 10.0); // blocks this (main) thread
    EXPECT_LT(clock.elapsed(), 10000);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->ipAddress(), "127.0.0.2");
    EXPECT_EQ(record->hostName(), "Room-101");
    EXPECT_EQ(record->deviceModel(), "VistrelPro");
    EXPECT_EQ(record->vendor(), "vistrel");
    EXPECT_EQ(record->srcvers(), "3.2.1");
    EXPECT_EQ(record->protocolVersion(), 1);
    EXPECT_EQ(record->passcode(), std::optional<QString>(QStringLiteral("4711")));
    EXPECT_EQ(record->controlPort(), rx->controlPort());
    EXPECT_FALSE(scanner.hasSocket()) << "the socket exists only during a query";
    EXPECT_EQ(rx->statistics().discoveryQueries, 1u);

    // Without a passcode the record has none; a second query uses a fresh socket and works.
    auto plain = startReceiver("127.0.0.3", "Plain");
    ASSERT_TRUE(plain);
    UnicastRemoteHostScanner other(plain->discoveryPort());
    const auto first = other.unicast(QStringLiteral("127.0.0.3"), 10.0);
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(first->passcode().has_value());
    plain->setName(QStringLiteral("Plain-2"));
    const auto second = other.unicast(QStringLiteral("127.0.0.3"), 10.0);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->hostName(), "Plain-2");
}

TEST(UnicastRemoteHostScanner, SilentReceiverTimesOutAndNeverYieldsAnEarlierRecord)
{
    auto rx = startReceiver("127.0.0.2", "Sometimes");
    ASSERT_TRUE(rx);
    UnicastRemoteHostScanner scanner(rx->discoveryPort());

    rx->setSilent(true);
    EXPECT_FALSE(scanner.unicast(QStringLiteral("127.0.0.2"), 0.3).has_value()) << "first query ever";

    rx->setSilent(false);
    ASSERT_TRUE(scanner.unicast(QStringLiteral("127.0.0.2"), 10.0).has_value());

    rx->setSilent(true);
    EXPECT_FALSE(scanner.unicast(QStringLiteral("127.0.0.2"), 0.3).has_value())
        << "a query without an answer must not return the previous answer";
    EXPECT_FALSE(scanner.target().has_value());
}

TEST(UnicastRemoteHostScanner, RepliesFromAnotherPortAreIgnored)
{
    // Listens where the query goes, but answers from a second socket on another port.
    QUdpSocket listener, answerer;
    ASSERT_TRUE(listener.bind(QHostAddress("127.0.0.4"), 0));
    ASSERT_TRUE(answerer.bind(QHostAddress("127.0.0.4"), 0));
    std::atomic<int> queries{0};
    QObject::connect(&listener, &QUdpSocket::readyRead, &listener, [&] {
        while (listener.hasPendingDatagrams()) {
            const QNetworkDatagram d = listener.receiveDatagram();
            ++queries;
            const auto token = KPRemoteCommandGenerator::parseEchoCommand(d.data());
            answerer.writeDatagram(replyNamed("Sneaky", token.value_or("")), d.senderAddress(),
                                   quint16(d.senderPort()));
        }
    });
    UnicastRemoteHostScanner scanner(listener.localPort());
    // The listener runs on this thread, which the query blocks: run the query elsewhere.
    auto result =
        std::async(std::launch::async, [&] { return scanner.unicast(QStringLiteral("127.0.0.4"), 0.8); });
    while (result.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        QCoreApplication::processEvents();
    EXPECT_EQ(queries, 1);
    EXPECT_FALSE(result.get().has_value());
}

TEST(UnicastRemoteHostScanner, OnlyIPv4DiscoveryRepliesFromTheDiscoveryPortEndTheWait)
{
    const quint16 port = 47011;
    UnicastRemoteHostScanner scanner(port);
    // Nothing listens at this address; the replies are fed to the receive callback directly.
    auto result =
        std::async(std::launch::async, [&] { return scanner.unicast(QStringLiteral("127.0.0.9"), 20.0); });
    auto stillWaiting = [&] {
        return result.wait_for(std::chrono::milliseconds(150)) != std::future_status::ready;
    };

    const std::string token = tokenOfRunningQuery(scanner);
    ASSERT_FALSE(token.empty());
    scanner.udpSocketDidReceiveData(replyNamed("FromIPv6", token), QHostAddress("::1"), port);
    EXPECT_TRUE(stillWaiting()) << "IPv6 sender";
    scanner.udpSocketDidReceiveData(replyNamed("OtherPort", token), QHostAddress("127.0.0.7"), port + 1);
    EXPECT_TRUE(stillWaiting()) << "wrong source port";
    scanner.udpSocketDidReceiveData(KPRemoteCommandGenerator().commandGetEcho(token),
                                    QHostAddress("127.0.0.7"), port);
    EXPECT_TRUE(stillWaiting()) << "valid JSON but no discovery reply";
    scanner.udpSocketDidReceiveData(QByteArray("{\"cmd\":\"echo\",\"token\":\"") + token.c_str(),
                                    QHostAddress("127.0.0.7"), port);
    EXPECT_TRUE(stillWaiting()) << "truncated reply";
    const quint64 droppedBefore = scanner.droppedDatagrams();
    scanner.udpSocketDidReceiveData(replyNamed("Unsolicited"), QHostAddress("127.0.0.7"), port);
    scanner.udpSocketDidReceiveData(replyNamed("Guessing", "0000000000000000"), QHostAddress("127.0.0.7"),
                                    port);
    // The token only somewhere in the datagram, not as the reply's token, is not enough either.
    KPRemoteHost named;
    named.setHostName(QString::fromStdString(token));
    scanner.udpSocketDidReceiveData(KPRemoteCommandGenerator().commandEchoReply(named, "ffff"),
                                    QHostAddress("127.0.0.7"), port);
    EXPECT_TRUE(stillWaiting()) << "a reply that does not echo this query's token";
    EXPECT_EQ(scanner.droppedDatagrams(), droppedBefore + 3);
    EXPECT_FALSE(scanner.target().has_value());

    // Any IPv4 sender on the discovery port counts, not only the queried address.
    scanner.udpSocketDidReceiveData(replyNamed("Elsewhere", token), QHostAddress("127.0.0.7"), port);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto record = result.get();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->hostName(), "Elsewhere");
    EXPECT_EQ(record->ipAddress(), "127.0.0.7");
}

TEST(UnicastRemoteHostScanner, AReplyParsedAfterItsQueryEndedDoesNotLeakIntoTheNext)
{
    const quint16 port = 47012;
    UnicastRemoteHostScanner scanner(port);
    EXPECT_FALSE(scanner.unicast(QStringLiteral("127.0.0.9"), 0.05).has_value());
    // A late reply (its query has already returned) is parsed between queries.
    scanner.parseData(replyNamed("Late"), QStringLiteral("127.0.0.7"), port);
    scanner.operationQueue().sync([] {});
    EXPECT_FALSE(scanner.unicast(QStringLiteral("127.0.0.9"), 0.2).has_value());
}

TEST(UnicastRemoteHostScanner, AFloodOfUnsolicitedRepliesIsDroppedUnparsedAndTheAnswerStillCounts)
{
    auto rx = startReceiver("127.0.0.2", "Flooded");
    ASSERT_TRUE(rx);
    UnicastRemoteHostScanner scanner(rx->discoveryPort());
    rx->setSilent(true);
    auto result =
        std::async(std::launch::async, [&] { return scanner.unicast(QStringLiteral("127.0.0.2"), 20.0); });
    ASSERT_FALSE(tokenOfRunningQuery(scanner).empty());
    // Replies nobody asked for, as fast as they come, straight into the receive callback.
    const QByteArray unsolicited = replyNamed("Flooded");
    for (int i = 0; i < 20000; ++i)
        scanner.udpSocketDidReceiveData(unsolicited, QHostAddress("127.0.0.2"), rx->discoveryPort());
    EXPECT_EQ(scanner.droppedDatagrams(), 20000u);
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    // The receiver's real answer still ends the query.
    rx->setSilent(false);
    auto second = std::async(std::launch::async, [&] {
        return UnicastRemoteHostScanner(rx->discoveryPort()).unicast(QStringLiteral("127.0.0.2"), 10.0);
    });
    ASSERT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto record = second.get();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->hostName(), "Flooded");
    scanner.udpSocketDidReceiveData(replyNamed("Flooded", scanner.queryToken()), QHostAddress("127.0.0.2"),
                                    rx->discoveryPort());
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(result.get().has_value());
}

TEST(UnicastRemoteHostScanner, TheQueryNeverWaitsLongerThanItsTimeoutEvenWithItsSocketThreadStuck)
{
    UnicastRemoteHostScanner scanner(47013);
    EXPECT_FALSE(scanner.unicast(QStringLiteral("127.0.0.9"), 0.05).has_value());
    ASSERT_NE(scanner.socketThread(), nullptr);
    // Keep the socket thread busy for far longer than the query may take.
    std::atomic<bool> release{false};
    std::atomic<bool> blocked{false}, done{false};
    QMetaObject::invokeMethod(
        QAbstractEventDispatcher::instance(scanner.socketThread()),
        [&] {
            blocked = true;
            for (int i = 0; i < 1500 && !release; ++i)
                QThread::msleep(2);
            done = true;
        },
        Qt::QueuedConnection);
    while (!blocked)
        QThread::msleep(1);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(scanner.unicast(QStringLiteral("127.0.0.9"), 0.2).has_value());
    const qint64 elapsed = clock.elapsed();
    release = true;
    EXPECT_LT(elapsed, 2000) << "the query waited for its socket thread";
    while (!done)
        QThread::msleep(1);
}
