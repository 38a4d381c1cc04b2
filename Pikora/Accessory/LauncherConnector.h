#pragma once

#include "Beamline/KPJSONRPC.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>

class DispatchTimer;
class QTcpSocket;
class UsbBus;
struct UsbDeviceInfo;
class LauncherConnector;

// Events of the accessory link. Every operation is optional: the defaults do nothing.
// All of them are called on the connector's thread (the main thread).
class LauncherConnectorDelegate
{
public:
    virtual ~LauncherConnectorDelegate() = default;
    // The accessory appeared on the USB bus in network mode; probing starts right after.
    virtual void connectorECMUSBDidPluggedIn(LauncherConnector* connector) { (void)connector; }
    // The handshake response arrived; `result` is its result (normally an object, but passed
    // on whatever it is, null for an error response).
    virtual void connectorDidConnectToAccessory(LauncherConnector* connector, const Json& result)
    {
        (void)connector;
        (void)result;
    }
    // The accessory left the USB bus; the link is closed and probing has stopped.
    virtual void connectorDidDisconnectFromAccessory(LauncherConnector* connector) { (void)connector; }
    // Every received message other than a recognised handshake response, as its UTF-8 JSON
    // text, unparsed (text that is not JSON-RPC is passed on as it is).
    virtual void connectorDidReceiveMessage(LauncherConnector* connector, const std::string& message)
    {
        (void)connector;
        (void)message;
    }
};

// The link to the button accessory: watches the USB bus for the accessory in network mode,
// probes its TCP port until it answers, performs the handshake, keeps the link alive with a
// heartbeat every 2 s, hands every received message to the delegate and sends what it is
// given, each message framed by a 4-byte little-endian length.
//
// Lives on the thread that creates it (the main thread), which must run a Qt event loop; its
// sockets are used only there. sendMessage() may be called from any thread.
class LauncherConnector : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* kDefaultHost = "192.168.204.1";
    static constexpr std::uint16_t kDefaultPort = 53630;
    static constexpr std::uint16_t kVendorId = 0x0525;  // 1317
    static constexpr std::uint16_t kProductId = 0xA4A2; // 42146
    static constexpr const char* kServiceName = "PIKORA ECM/RNDIS";
    static constexpr const char* kHeartbeatText = R"({"jsonrpc": "2.0", "method": "heartbeat"})";
    static constexpr std::chrono::milliseconds kConnectTimeout{2000};
    static constexpr std::chrono::milliseconds kDefaultWriteTimeout{2000};
    static constexpr std::chrono::milliseconds kHeartbeatInterval{2000};
    static constexpr std::chrono::milliseconds kHeartbeatLeeway{100};
    static constexpr int kReadTagLength = 100;
    static constexpr int kReadTagBody = 101;
    static constexpr int kWriteTag = 150;

    struct Options
    {
        QString host = QString::fromLatin1(kDefaultHost);
        std::uint16_t port = kDefaultPort;
        // A peer that accepts the connection but does not answer the handshake within this
        // time is treated as a lost link (and probed again).
        std::chrono::milliseconds handshakeTimeout{5000};
        // Probes that fail at once (refused, no route) are not repeated faster than this.
        std::chrono::milliseconds minimumProbeInterval{500};
        // A message announced as longer than this ends the link.
        std::uint32_t maxMessageSize = 1u << 20;
    };

    // `bus` is not owned and must outlive the connector (null: no USB watch, never probes on
    // its own). The delegate is not owned either; reset it before it goes away.
    LauncherConnector(LauncherConnectorDelegate* delegate, UsbBus* bus, Options options,
                      QObject* parent = nullptr);
    LauncherConnector(LauncherConnectorDelegate* delegate, UsbBus* bus, QObject* parent = nullptr);
    ~LauncherConnector() override;

    LauncherConnectorDelegate* delegate() const { return m_delegate; }
    void setDelegate(LauncherConnectorDelegate* delegate) { m_delegate = delegate; }

    // Where the accessory is reached; takes effect at the next probe.
    void setAccessoryAddress(const QString& host, std::uint16_t port);
    QString accessoryHost() const { return m_options.host; }
    std::uint16_t accessoryPort() const { return m_options.port; }
    const Options& options() const { return m_options; }

    // Starts (or keeps) trying to connect; does nothing while a link is up.
    void startProbing();
    void stopProbing();
    // Stops probing and the heartbeat and closes the link, without any event.
    void disconnect();

    // Sends one JSON text (UTF-8) framed with its byte count. Callable from any thread; the
    // write happens on the connector's thread. Without a link the message is dropped. A write
    // not handed to the system within the timeout ends the link.
    void sendMessage(const std::string& json);
    void sendMessage(const std::string& json, std::chrono::milliseconds writeTimeout);

    void startHeartbeatTimer();
    void stopTimer();

    // Watches the bus for the accessory (called by the constructor). 0 on success, -1 when
    // there is no bus or it cannot be watched.
    int setupUSB();
    void usbPluggedIn(const QString& serviceName);
    void usbPluggedOut(const QString& serviceName);

    // The probing socket and the established link; connector thread only, null when none.
    QTcpSocket* probeSocket() const { return m_probeSocket; }
    QTcpSocket* socket() const { return m_socket; }
    // True once the handshake response arrived on the current link. Any thread.
    bool connected() const { return m_connected.load(); }
    // True while a link (handshaking or linked) exists. Any thread.
    bool hasLink() const;

    // The handshake request as sent: params "product", "app-version", "os", in this order.
    static std::string handshakeMessage();

private:
    struct SendPort;
    struct PendingWrite
    {
        qint64 endOffset;
        std::chrono::steady_clock::time_point deadline;
    };

    QTcpSocket* createSocket();
    void socketDidConnectToHost(QTcpSocket* socket);
    void socketStateChanged(QTcpSocket* socket);
    void socketReadyRead(QTcpSocket* socket);
    void socketDidReadData(const QByteArray& body);
    void socketBytesWritten(QTcpSocket* socket, qint64 bytes);
    void probeFailed(const QString& why);
    void linkLost(const QString& why);
    void closeLink();
    void writeFrame(std::uint64_t generation, const QByteArray& frame, std::chrono::milliseconds timeout);
    void checkWriteDeadlines();
    void scheduleWriteCheck();
    void deviceArrived(const UsbDeviceInfo& device);
    void deviceRemoved(const UsbDeviceInfo& device);

    LauncherConnectorDelegate* m_delegate = nullptr;
    UsbBus* m_bus = nullptr;
    Options m_options;
    std::set<QString> m_devicesSeen; // bus ids of matching devices already reported

    // Guards the hand-over between m_probeSocket and m_socket and the link generation, which
    // other threads read when they send.
    mutable std::mutex m_lock;
    QTcpSocket* m_probeSocket = nullptr;
    QTcpSocket* m_socket = nullptr;
    std::uint64_t m_generation = 0;     // increases with every link
    std::uint64_t m_linkGeneration = 0; // generation of m_socket, 0 = no link
    std::atomic<bool> m_connected{false};

    QTimer m_connectTimer;
    QTimer m_probeRetryTimer;
    QElapsedTimer m_lastProbeStart;
    QTimer m_handshakeTimer;

    int m_readTag = kReadTagLength;
    std::uint32_t m_bodyLength = 0;

    qint64 m_bytesQueued = 0;
    qint64 m_bytesFlushed = 0;
    std::deque<PendingWrite> m_pendingWrites;
    QTimer m_writeTimer;

    std::shared_ptr<SendPort> m_sendPort;
    std::unique_ptr<DispatchTimer> m_timer;
    std::shared_ptr<std::atomic<bool>> m_timerLive;
};
