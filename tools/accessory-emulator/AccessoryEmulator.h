#pragma once

#include "Beamline/KPJSONRPC.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTcpServer;
class QTcpSocket;
class SimulatedUsbDevice;

// Plays the button accessory in network mode: a TCP server speaking JSON-RPC 2.0 in frames of
// a 4-byte little-endian length and a UTF-8 body. It answers "handshake", answers
// "query-connection-intent" from its stored pairing, stores "set-pairing-data" (in a file when
// given one), records everything it receives (heartbeats with their arrival time), and sends
// the button notifications on command. For tests of the peer it can drop, stall or refuse
// connections and answer with malformed frames. On a simulated USB bus directory it shows
// itself as the network-mode device, or first in raw mode until the host writes the 16-byte
// switch command to its bulk OUT endpoint.
//
// Lives on the thread that creates it; every call must come from that thread.
class AccessoryEmulator : public QObject
{
    Q_OBJECT
public:
    static constexpr std::uint16_t kNetworkVendorId = 0x0525;
    static constexpr std::uint16_t kNetworkProductId = 0xA4A2;
    static constexpr std::uint16_t kRawVendorId = 0x1DE1;
    static constexpr std::uint16_t kRawProductId = 0xA101;
    static constexpr std::uint8_t kRawBulkInEndpoint = 0x81;
    static constexpr std::uint8_t kRawBulkOutEndpoint = 0x02;
    static constexpr const char* kNetworkProductName = "PIKORA ECM/RNDIS";
    static constexpr const char* kHeartbeatText = R"({"jsonrpc": "2.0", "method": "heartbeat"})";
    static constexpr int kSwitchCommandLength = 16;
    static constexpr char kSwitchCommandByte = static_cast<char>(0xCC);

    // How "handshake" requests are answered.
    enum class HandshakeReply
    {
        Dictionary,    // a response whose result is the configured dictionary
        NotDictionary, // a response whose result is a string
        Error,         // an error response
        Silent,        // no answer at all
    };
    // Malformed output for exercising the peer's input handling.
    enum class Garbage
    {
        OversizedLength, // a length prefix far above any sane message, and nothing after it
        TruncatedFrame,  // a prefix announcing more bytes than follow, then the link is closed
        InvalidUtf8,     // a whole frame whose body is not UTF-8
        NotJson,         // a whole frame whose body is UTF-8 but not JSON
    };
    enum class UsbState
    {
        Absent,
        Raw,
        Network
    };

    struct Options
    {
        QHostAddress listenAddress = QHostAddress(QHostAddress::LocalHost);
        std::uint16_t port = 0;             // 0 = any free port (see port())
        QString pairingFile;                // where "set-pairing-data" is kept; empty = in memory only
        std::optional<Json> initialPairing; // used when the pairing file holds none
        QString usbSimDirectory;            // empty = not on any bus
        QString usbDeviceName = QStringLiteral("pikora-accessory"); // file name on the bus
        bool startInRawMode = false;
        std::chrono::milliseconds reenumerationDelay{300}; // raw mode -> network mode
        Json handshakeResult = Json{{"device", "pikora-accessory"},
                                    {"firmware-version", "1.0.0"},
                                    {"serial-number", "EMULATOR-0001"}};
        HandshakeReply handshakeReply = HandshakeReply::Dictionary;
        std::uint32_t maxFrameSize = 1u << 20;
        // Kernel receive buffer of each connection: a small device buffers little, so a peer
        // that keeps writing into a stalled connection soon sees its writes block.
        int receiveBufferSize = 16 * 1024;
    };

    struct Message
    {
        std::chrono::steady_clock::time_point arrival;
        qint64 msSinceStart = 0;
        int connection = 0; // 1-based number of the connection it came on
        QByteArray text;    // the body exactly as received
        bool valid = false; // a JSON-RPC 2.0 object
        std::optional<KPJSONRPCObject::Kind> kind;
        std::string method; // requests and notifications
        Json id;            // requests and responses
        Json params;        // requests and notifications
        QString error;      // why it is not valid
    };

    struct Event
    {
        enum class Kind
        {
            Listening,
            NotListening,
            Connected,
            Disconnected,
            Received,
            Sent,
            BadInput,
            PairingStored,
            UsbAppeared,
            UsbLeft,
            UsbBulkOut,
            Stalled,
            Resumed,
            Error,
        };
        Kind kind;
        qint64 msSinceStart = 0;
        QString text;
    };
    static QString toString(Event::Kind kind);

    struct Summary
    {
        int connections = 0;
        int activeConnections = 0;
        int messages = 0;
        int heartbeats = 0;
        int handshakes = 0;
        int intentQueries = 0;
        int pairingWrites = 0;
        int projectionStarted = 0;
        int projectionStopped = 0;
        int invalidMessages = 0;
        int badFrames = 0;
        int buttonPresses = 0;
        int longPresses = 0;
        int switchCommands = 0;
    };

    explicit AccessoryEmulator(Options options, QObject* parent = nullptr);
    explicit AccessoryEmulator(QObject* parent = nullptr);
    ~AccessoryEmulator() override;

    // Loads the pairing file, starts listening (unless starting in raw mode on a bus) and
    // appears on the bus. Returns false with `error` filled when it cannot listen or write to
    // the bus directory.
    bool start(QString* error = nullptr);
    // Closes every connection, stops listening and leaves the bus.
    void stop();
    bool isListening() const;
    QHostAddress address() const { return m_options.listenAddress; }
    // The port in use; known from start() on, also when starting in raw mode.
    std::uint16_t port() const { return m_port; }
    const Options& options() const { return m_options; }

    // Button notifications to every connected peer; return how many peers were told.
    int pressButton();
    int longPressButton();
    int sendNotification(const std::string& method, const Json& params = nullptr);
    // One frame with this body / these bytes as they are, to every connected peer.
    int sendFrame(const QByteArray& body);
    int sendRaw(const QByteArray& bytes);
    int sendGarbage(Garbage kind);

    // Closes every connection (the listener stays).
    int dropConnections();
    // Stops (or resumes) reading every connection, present and future.
    void setStalled(bool stalled);
    bool isStalled() const { return m_stalled; }
    // Stops (or resumes) listening; connections already made stay.
    bool setRefusing(bool refusing, QString* error = nullptr);
    bool isRefusing() const { return m_refusing; }

    void setHandshakeReply(HandshakeReply reply) { m_options.handshakeReply = reply; }
    HandshakeReply handshakeReply() const { return m_options.handshakeReply; }
    void setHandshakeResult(Json result) { m_options.handshakeResult = std::move(result); }

    // USB: leaving the bus also drops every connection and stops listening, as the network
    // interface goes away with the device; plugging in again starts over in the start mode.
    void unplug();
    bool plug(QString* error = nullptr);
    UsbState usbState() const { return m_usbState; }

    std::optional<Json> pairing() const { return m_pairing; }
    // Stores a pairing as "set-pairing-data" would (written to the pairing file when given).
    bool setPairing(const Json& pairing, QString* error = nullptr);
    void clearPairing();
    // The result "query-connection-intent" answers with for a pairing.
    static Json intentFromPairing(const Json& pairing);

    const std::deque<Message>& messages() const { return m_messages; }
    std::vector<Message> messagesWithMethod(const std::string& method) const;
    std::vector<Message> heartbeats() const { return messagesWithMethod("heartbeat"); }
    const std::deque<Event>& events() const { return m_events; }
    Summary summary() const;
    QString summaryText() const;
    void clearRecords();

    static QString toString(HandshakeReply reply);
    static std::optional<HandshakeReply> handshakeReplyFromString(const QString& text);
    static std::optional<Garbage> garbageFromString(const QString& text);

signals:
    void eventOccurred(const AccessoryEmulator::Event& event);
    void messageReceived(const AccessoryEmulator::Message& message);
    void peerConnected(int connection);
    void peerDisconnected(int connection);

private:
    struct Client;

    void init();
    bool listen(QString* error);
    void stopListening();
    void acceptPending();
    void readClient(Client& client);
    void handleBody(Client& client, const QByteArray& body);
    void reply(Client& client, const KPJSONRPCResponse& response);
    void writeFrame(Client& client, const QByteArray& body);
    void closeClient(Client& client, const QString& why, bool graceful = false);
    void purgeLater();
    void removeClient(QTcpSocket* socket);
    Client* findClient(QTcpSocket* socket);
    int forEachClient(const std::function<void(Client&)>& fn);
    void emitEvent(Event::Kind kind, const QString& text);
    bool loadPairingFile();
    bool savePairingFile(QString* error);
    bool appearOnBus(UsbState state, QString* error);
    void leaveBus();
    void onBulkOut(std::uint8_t endpoint, const QByteArray& bytes);
    void switchToNetworkMode();

    Options m_options;
    std::uint16_t m_port = 0;
    QTcpServer* m_server = nullptr;
    std::vector<std::unique_ptr<Client>> m_clients;
    int m_connectionCounter = 0;
    bool m_started = false;
    bool m_stalled = false;
    bool m_refusing = false;
    bool m_plugged = true;
    UsbState m_usbState = UsbState::Absent;
    std::unique_ptr<SimulatedUsbDevice> m_bus;
    QByteArray m_bulkOutPending;
    QTimer m_reenumerationTimer;
    std::optional<Json> m_pairing;
    std::deque<Message> m_messages; // bounded: the oldest go first
    std::deque<Event> m_events;
    Summary m_counts;
    QElapsedTimer m_clock;
};

Q_DECLARE_METATYPE(AccessoryEmulator::Event)
Q_DECLARE_METATYPE(AccessoryEmulator::Message)
