// Discovery under a flood: the scan socket is read on Beamline's discovery thread, replies
// that do not echo one of our recent query tokens are dropped before parsing, a receiver
// answering thousands of times reaches the main thread only a few times, and a host that
// answers from many ports fills no more than its share of the list.
#include "Beamline/KPDeviceController.h"
#include "Beamline/KPGenericDevice.h"
#include "Beamline/KPGenericDeviceScanner.h"
#include "Beamline/KPRemoteCommandGenerator.h"
#include "Beamline/KPRemoteHost.h"
#include "BeamlineTestSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A misbehaving receiver on its own thread (plain sockets, no event loop): on the first
// query it answers properly, then floods the sender with `flood(token)`'s datagrams.
class FloodingReceiver
{
public:
    using Flood = std::function<std::vector<QByteArray>(const std::string& token)>;

    FloodingReceiver(const char* address, Flood flood) : m_flood(std::move(flood))
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &sa.sin_addr);
        timeval tv{0, 50000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            return;
        socklen_t len = sizeof sa;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~FloodingReceiver()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_fd);
    }
    quint16 port() const { return m_port; }
    int sent() const { return m_sent; }
    bool finished() const { return m_finished; }

private:
    void run()
    {
        char buffer[2048];
        while (!m_stop) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0 || m_finished)
                continue;
            const auto token = KPRemoteCommandGenerator::parseEchoCommand(QByteArrayView(buffer, n));
            if (!token)
                continue;
            for (const QByteArray& d : m_flood(*token)) {
                if (m_stop)
                    break;
                if (::sendto(m_fd, d.constData(), size_t(d.size()), 0, reinterpret_cast<sockaddr*>(&from),
                             len) > 0)
                    ++m_sent;
                if (m_sent % 64 == 0)
                    std::this_thread::yield();
            }
            m_finished = true;
        }
    }

    Flood m_flood;
    int m_fd = -1;
    quint16 m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_finished{false};
    std::atomic<int> m_sent{0};
};

QByteArray reply(const char* name, quint16 controlPort, const std::string& token)
{
    KPRemoteHost host;
    host.setHostName(QString::fromLatin1(name));
    host.setVendor(QStringLiteral("vistrel"));
    host.setParameters(Json{{"controlPort", controlPort}});
    return KPRemoteCommandGenerator().commandEchoReply(host, token);
}

} // namespace

TEST(DiscoveryFlood, RepliesAreReadOffTheMainThreadAndOnlyAnswersToOurQueriesCount)
{
    FloodingReceiver rx("127.0.0.7", [](const std::string& token) {
        std::vector<QByteArray> out;
        out.push_back(reply("Honest", 7000, token));
        for (int i = 0; i < 3000; ++i) {
            out.push_back(reply("Honest", 7000, token));               // the same answer again and again
            out.push_back(reply("Spoofed", 7001, "0123456789abcdef")); // a token we never sent
            out.push_back(reply("Unasked", 7002, {}));                 // no token at all
        }
        return out;
    });
    ASSERT_NE(rx.port(), 0);

    KPGenericDeviceScanner scanner;
    int reports = 0;
    std::set<QString> names;
    scanner.setHostFoundCallback([&](const KPRemoteHost& host) {
        ++reports;
        names.insert(host.hostName());
    });
    ASSERT_TRUE(scanner.startScan({{QHostAddress("127.0.0.7"), rx.port()}}, std::chrono::milliseconds(1000)));

    // The main thread runs no event loop here: the datagrams are read all the same. (How many
    // of the flood the kernel keeps depends on the machine; a sanitizer build reads slowly.)
    QElapsedTimer clock;
    clock.start();
    while (scanner.counters().received < 200 && clock.elapsed() < 20000)
        QThread::msleep(5);
    EXPECT_GE(scanner.counters().received, 200u) << "the scan socket is not read off the main thread";
    while (!rx.finished() && clock.elapsed() < 20000)
        QThread::msleep(5);
    spin(300);

    EXPECT_EQ(names, std::set<QString>{QStringLiteral("Honest")});
    EXPECT_GE(reports, 1);
    EXPECT_LE(reports, 3) << "every repeated answer reached the main thread";
    EXPECT_GT(scanner.counters().unsolicited, 0u);
    EXPECT_EQ(scanner.counters().reported, quint64(reports));
    scanner.stopScan();
}

TEST(DiscoveryFlood, OneHostAnsweringFromManyPortsGetsOnlyItsShareOfTheList)
{
    FloodingReceiver rx("127.0.0.8", [](const std::string& token) {
        std::vector<QByteArray> out;
        for (int port = 1; port <= 2000; ++port)
            out.push_back(reply("Many", quint16(port), token));
        return out;
    });
    ASSERT_NE(rx.port(), 0);

    KPDeviceController dc;
    dc.registerScanner<KPGenericDeviceScanner, KPGenericDeviceDataTransmitter, KPGenericDevice>(
        KPGenericDeviceScanner::vistrelProPredicate());
    dc.setScanTargets({{QHostAddress("127.0.0.8"), rx.port()}});
    dc.setScanInterval(std::chrono::milliseconds(1000));
    dc.startScan();
    ASSERT_TRUE(waitUntil([&] { return rx.finished(); }, 20000));
    spin(500);
    EXPECT_EQ(dc.discoveredDevices().size(), KPDeviceScanner::kMaxReceiversPerAddress);
    dc.stopScan();
}
