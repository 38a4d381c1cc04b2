#pragma once

// The receiver emulator's work, on its own thread: the discovery socket, the control server
// with one session per sender, the HTTP server, decoding and statistics. Internal to
// ReceiverEmulator; its slots are called through ReceiverEmulator.

#include "Beamline/KPJSONRPC.h"
#include "Beamline/KPReceiverLinkCodec.h"
#include "ReceiverEmulator.h"
#include "Support/FrameCodec.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class ConfigHttpServer;
class H264Decoder;
class JpegDecoder;
class QTcpServer;
class QTcpSocket;
class QUdpSocket;

class ReceiverEmulatorCore : public QObject
{
    Q_OBJECT
public:
    explicit ReceiverEmulatorCore(ReceiverEmulatorConfig config);
    ~ReceiverEmulatorCore() override;

    bool start(QString* error);
    void stop();
    bool isRunning() const { return m_running; }
    quint16 discoveryPort() const;
    quint16 controlPort() const;
    quint16 configPort() const;
    quint16 firstConfigPort() const;
    QString configCommand(const QString& arguments);

    void setSilent(bool v) { m_silent = v; }
    void setHung(bool v) { m_hung = v; }
    void setName(const QString& name);
    void setRefuseConnections(bool v) { m_refuse = v; }
    void setRefuseStream(bool v) { m_refuseStream = v; }
    void setReadingPaused(bool paused);
    void setReadRate(qint64 bitsPerSecond);
    void dropLinks();
    void setSplitScreen(int number, int position);
    void stopDisplay();
    void pauseDisplay();
    void resumeDisplay();
    int sendPointerEvent(const Json& params);
    bool askHost(const QString& guestIP, const QString& guestName, bool fullscreen);
    void sendRole(int role);
    bool saveSnapshot(const QString& path);
    bool savePcm(const QString& path);
    QByteArray keptPcm() const;
    QImage lastPicture() const;

    // Thread-safe.
    ReceiverStatistics statistics() const;
    void resetStatistics();

private:
    struct Sender;
    using ResponseHandler = std::function<void(const KPJSONRPCResponse&)>;

    Json describe() const; // the discovery reply / hello result members
    QByteArray configFile();
    void readDiscovery();
    void acceptSenders();
    void readSender(Sender* s);
    void applyReadRate(QTcpSocket* socket) const;
    void readSenderLater(Sender* s, int ms);
    void handleMessage(Sender* s, const KPReceiverLinkCodec::Message& m);
    void handleMedia(Sender* s, const KPReceiverLinkCodec::Message& m);
    void handleJson(Sender* s, const QByteArray& text);
    void handleRequest(Sender* s, const KPJSONRPCRequest& r);
    // Where a sender's stream goes when it begins: beside the running ones, or alone on the
    // screen (the others are stopped).
    enum class Placement
    {
        Share,
        WholeScreen
    };
    void handleStart(Sender* s, const Json& id);
    void handleFullscreen(Sender* s, const Json& id, bool fullscreen);
    // Puts a guest's stream (or full-screen) request to the host; its answer decides.
    void askHostFor(Sender* guest, Sender* host, bool fullscreen);
    void grantFullscreen(Sender* s, const Json& id);
    void stopOthers(Sender* s);
    void claimHostIfNone(Sender* s);
    // Withdraws the sender's requests waiting for the host (answered 1003 when `tellSender`)
    // and tells the host.
    void withdrawRequests(Sender* s, bool tellSender);
    KPReceiverLinkCodec::Layout layoutOf(const Sender* s) const;
    void closeSender(Sender* s, bool protocolError);
    void removeSender(Sender* s);
    void send(Sender* s, const std::string& json);
    void notify(Sender* s, const std::string& method, Json params = Json::object());
    void respond(Sender* s, const KPJSONRPCResponse& response);
    void request(Sender* s, const std::string& method, Json params, ResponseHandler handler);
    void beginStream(Sender* s, const Json& startId, Placement placement);
    void endStream(Sender* s);
    void announceLayout();
    void announce(Sender* s); // sends the sender its place in the current layout
    Sender* host() const;
    std::vector<Sender*> streamingSenders() const;

    ReceiverEmulatorConfig m_config;
    bool m_running = false;
    bool m_silent = false;
    bool m_hung = false;
    bool m_refuse = false;
    bool m_refuseStream = false;
    bool m_readingPaused = false;
    qint64 m_readRate = 0; // bits per second, 0 = unlimited
    QElapsedTimer m_clock;

    QUdpSocket* m_discovery = nullptr;
    QTcpServer* m_control = nullptr;
    ConfigHttpServer* m_http = nullptr;
    std::vector<std::unique_ptr<Sender>> m_senders;
    std::unique_ptr<JpegDecoder> m_jpeg;
    QImage m_lastJpeg;
    std::shared_ptr<H264Decoder> m_lastDecoder; // of the last H.264 picture
    bool m_lastWasJpeg = false;
    QFile m_raw;

    mutable std::mutex m_statsMutex;
    ReceiverStatistics m_stats;
    QByteArray m_pcm; // the last ReceiverStatistics::kMaxKeptPcmBytes received, under m_statsMutex
};
