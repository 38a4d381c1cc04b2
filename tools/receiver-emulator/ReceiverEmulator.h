#pragma once

// A wireless-display receiver on this machine, for tests, the demo and manual runs: it answers
// the echo query on UDP, serves "pikora_config.json" over HTTP, accepts senders on its control
// port, decodes what they stream and keeps statistics, and plays the conference roles.
//
// Everything runs on the emulator's own thread, so a test may block its main thread (as the
// unicast query does) and still get answers. Every public function may be called from any
// thread.
//
//   ReceiverEmulatorConfig cfg;
//   cfg.bindAddress = QHostAddress("127.0.0.2");
//   cfg.discoveryPort = 0; cfg.controlPort = 0; cfg.configPort = 0; // ephemeral
//   ReceiverEmulator rx(cfg);
//   QString error;
//   if (!rx.start(&error)) ...;
//   ... rx.discoveryPort(), rx.controlPort() ...
//   rx.execute("split 2");  or  rx.setSplitScreen(2, -1);
//   rx.statistics().h264Frames ...

#include "Beamline/KPJSONRPC.h"

#include <QHostAddress>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <memory>
#include <optional>

struct ReceiverEmulatorConfig
{
    QHostAddress bindAddress{QHostAddress::LocalHost};
    QString name = QStringLiteral("Pikora-Receiver");
    QString displayName; // empty: the name
    QString deviceModel = QStringLiteral("VistrelPro");
    QString vendor = QStringLiteral("vistrel");
    QString srcvers = QStringLiteral("1.0.0");
    QSize maxResolution{1920, 1080};
    bool h264 = true;
    std::optional<QString> passcode;
    int conferenceVersion = 2;
    QString ssid24;            // "ssid_2.4G" of the configuration file (omitted when empty)
    QString ssid5;             // "ssid_5G"
    int discoveryPort = 63630; // 0: any free port
    int controlPort = 63630;   // 0: any free port
    int configPort = 8080;     // 0: any free port; -1: no HTTP server
    QString snapshotPath;      // PNG of the last decoded picture, written by saveSnapshot() and stop()
    QString rawStreamPath;     // every received H.264 access unit is appended here
    // A second HTTP port serving the same file, the one senders try first (a real receiver's
    // port 80); 0: any free port; -1: none.
    int firstConfigPort = -1;
    QString pcmWavPath; // WAV of the kept PCM, written by savePcm() and stop()
    // Reads each sender's link at most this fast, in bits per second (0: as fast as it
    // comes), with small socket buffers, like a receiver behind a slow link.
    qint64 readRateBitsPerSecond = 0;
};

struct ReceiverStatistics
{
    int connectedSenders = 0; // links that completed the hello
    int streamingSenders = 0;
    quint64 h264Frames = 0;
    quint64 h264KeyFrames = 0;
    quint64 jpegFrames = 0;
    quint64 pcmChunks = 0;
    quint64 pcmBytes = 0;
    quint64 pcmRejected = 0; // chunks that were not whole sample frames (4 bytes each): dropped
    // Of the PCM kept (the last kMaxKeptPcmBytes): its size, strongest frequency and level.
    quint64 pcmKeptBytes = 0;
    double pcmFrequencyHz = 0;
    double pcmLevel = 0;
    quint64 mediaBytes = 0; // payload bytes of every media frame
    quint64 decodedPictures = 0;
    quint64 decodeErrors = 0;
    quint64 protocolErrors = 0; // links closed for malformed input
    quint64 ignoredMedia = 0;   // media outside a stream
    QSize lastFrameSize;        // size announced by the last H.264 frame, or of the last JPEG
    QSize lastDecodedSize;
    qint64 firstArrivalMs = -1; // since start(), of the first / last media frame
    qint64 lastArrivalMs = -1;
    QList<qint64> arrivalTimesMs; // the last 256 media arrivals
    double bitRate = 0;           // bits per second between the first and the last arrival
    quint64 discoveryQueries = 0;
    quint64 discoveryReplies = 0;
    quint64 configRequests = 0;
    quint64 pointerEventsSent = 0;
    quint64 startRequests = 0;          // "startDisplay" requests received
    quint64 stopRequests = 0;           // "stopDisplay" requests received
    quint64 pingRequests = 0;           // keep-alive requests received
    std::optional<bool> lastHostAnswer; // allow flag of the last answer to "ask"
    int lastHostAnswerMode = 0;
    // Capture tick at the sender to decoded picture here, microseconds, of the last
    // kMaxLatencySamples pictures that came with a capture time. Only meaningful when the
    // sender runs on this host (the times are on its steady clock).
    QList<qint64> tickToDecodedUs;
    quint64 latencyUnrelatedClock = 0; // capture times that gave no plausible latency (ignored)
    // Distinct decoded picture sizes in order of first appearance (at most kMaxPictureSizes).
    QList<QSize> pictureSizes;

    static constexpr qsizetype kMaxLatencySamples = 1024;
    static constexpr qsizetype kMaxKeptPcmBytes = 60 * 176400; // one minute of sound
    static constexpr qsizetype kMaxPictureSizes = 16;

    Json toJson() const;
};

class ReceiverEmulatorCore;
class QThread;

class ReceiverEmulator
{
public:
    explicit ReceiverEmulator(ReceiverEmulatorConfig config = {});
    ~ReceiverEmulator();
    ReceiverEmulator(const ReceiverEmulator&) = delete;
    ReceiverEmulator& operator=(const ReceiverEmulator&) = delete;

    bool start(QString* error = nullptr);
    void stop();
    bool isRunning() const;

    QHostAddress address() const;
    quint16 discoveryPort() const;
    quint16 controlPort() const;
    quint16 configPort() const; // 0 without an HTTP server
    // 0 without that port.
    quint16 firstConfigPort() const;

    // --- commands (the same as the text commands of execute())
    void setSilent(bool silent); // "silent on|off": no discovery replies, hellos unanswered
    // "hang on|off": links stay open but whatever the senders send is read and ignored: no
    // answer to any request (not even "ping"), nothing decoded. A receiver that froze.
    void setHung(bool hung);
    void setName(const QString& name);      // "name NEW NAME"
    void setRefuseConnections(bool refuse); // "refuse on|off": hello answered with an error, link closed
    void setRefuseStream(bool refuse);      // "refuse-stream on|off": startDisplay answered with an error
    void setReadingPaused(bool paused);     // "stall on|off": stop reading from the senders' sockets
    // "read-rate RATE": read the senders' links at most RATE bits per second (suffix k or M;
    // 0 = unlimited).
    void setReadRate(qint64 bitsPerSecond);
    // "2M" -> 2000000; none when not a rate (0 .. 10G).
    static std::optional<qint64> parseRate(const QString& text);
    void dropLinks(); // "drop": close every sender link at once
    // "split N [P]": announce N screens; P (counted from 1) = every sender's position, or
    // each streaming sender's own place when P is -1 (the default).
    void setSplitScreen(int number, int position = -1);
    void stopDisplay();   // "stop"
    void pauseDisplay();  // "pause"
    void resumeDisplay(); // "resume"
    // "pointer {json}": sends the params as they are (malformed ones too) to every streaming
    // sender, or to every connected one when none streams; returns how many got it.
    int sendPointerEvent(const Json& params);
    // "ask IP NAME [fullscreen]": asks the host (first streaming sender) as if a guest wanted to
    // project; the answer lands in statistics().lastHostAnswer.
    bool askHost(const QString& guestIP, const QString& guestName, bool fullscreen);
    // "role N": sends a role change to every connected sender.
    void sendRole(int role);
    // "snapshot [PATH]": writes the last decoded picture as PNG.
    bool saveSnapshot(const QString& path = {});
    // "save-pcm [PATH]": writes the kept PCM as a WAV file.
    bool savePcm(const QString& path = {});
    QByteArray keptPcm() const;
    QImage lastPicture() const;

    // "config ...": how the HTTP server answers (see ConfigHttpServer::execute).
    QString configCommand(const QString& arguments);

    ReceiverStatistics statistics() const; // "stats" prints it as JSON
    void resetStatistics();                // "reset-stats"

    // Runs one text command and returns its one-line reply ("ok", "error: ...", JSON for stats).
    QString execute(const QString& line);
    static QString helpText();

private:
    ReceiverEmulatorConfig m_config;
    std::unique_ptr<QThread> m_thread;
    ReceiverEmulatorCore* m_core = nullptr;
};
