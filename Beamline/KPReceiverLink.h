#pragma once

// One TCP link to a receiver: connect with a deadline, the hello exchange, JSON-RPC requests
// with their responses and deadlines, liveness (a "ping" after a quiet spell, the link dropped
// after a longer one), and the outgoing queue of control and media frames with its byte
// accounting and bounds. The object lives on a link thread (moveToThread before open());
// every public function may be called from any thread, callbacks run on the link thread.

#include "Beamline/KPError.h"
#include "Beamline/KPJSONRPC.h"
#include "Beamline/MediaBacklog.h"

#include <QObject>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

class QTcpSocket;
class QTimer;

class KPReceiverLink : public QObject
{
    Q_OBJECT
public:
    using ResponseHandler = std::function<void(const KPJSONRPCResponse& response)>;

    struct Callbacks
    {
        std::function<void(const Json& helloResult)> opened;
        std::function<void(const KPError& error)> failed; // never opened; the link is finished
        std::function<void(const KPError& error)> closed; // an open link ended
        std::function<void(const KPJSONRPCNotification& notification)> notification;
        std::function<void(const KPJSONRPCRequest& request)> request; // answer with respond()
        std::function<void(const QString& error)> protocolError;      // just before closed/failed
    };

    enum class EnqueueResult
    {
        Queued,
        Dropped,
        NotOpen
    };

    // Deadlines of the link (docs/beamline-protocol.md, section 2.5).
    struct Timing
    {
        // A request without an answer after this long fails with KPError::Timeout.
        std::chrono::milliseconds requestTimeout{10000};
        // Nothing received for this long: a "ping" request is sent.
        std::chrono::milliseconds keepAliveAfter{5000};
        // Nothing received for this long: the link is dropped (KPError::Timeout).
        std::chrono::milliseconds idleTimeout{15000};
        // How long a closing link may take to hand its last control messages to the receiver.
        std::chrono::milliseconds closeFlushTimeout{1000};
    };
    // The timing of links created from now on (tests shorten it).
    static void setDefaultTiming(const Timing& timing);
    static Timing defaultTiming();

    // The queue bound above which senders are told to wait, and the hard cap above which
    // media frames are dropped.
    static constexpr qint64 kReadyBound = 1 << 20;
    static constexpr qint64 kHardCap = 8 << 20;
    // The same in time: senders are told to wait while the oldest media still on its way to
    // the receiver (queued here, in the socket or in the kernel's send queue) has waited
    // longer than kReadyAge, so a slow link costs frames, not delay. An H.264 unit that
    // arrives while the oldest has waited kMaxMediaAge is dropped like one over kHardCap.
    static constexpr std::chrono::milliseconds kReadyAge{100};
    static constexpr std::chrono::milliseconds kMaxMediaAge{1000};
    // How often the receiver's progress is looked at while media is on its way.
    static constexpr std::chrono::milliseconds kDrainPoll{10};
    // How much is handed to the socket at a time.
    static constexpr qint64 kSocketChunk = 256 << 10;
    // Bounds of the control queue. Control messages are never dropped one by one (a request
    // or an answer that silently vanished would leave the peer waiting): a receiver that lets
    // more pile up has stopped reading, and the link is closed.
    static constexpr qsizetype kMaxQueuedControlMessages = 1024;
    static constexpr qint64 kMaxQueuedControlBytes = 1 << 20;

    KPReceiverLink(QString host, quint16 port, std::chrono::milliseconds connectTimeout, Json helloParams,
                   Callbacks callbacks);
    ~KPReceiverLink() override;

    void open();
    // Ends the link without calling opened/failed/closed/notification/request any more.
    // Pending request handlers are answered with an error. Control messages queued before the
    // call (a last "stopDisplay") are still handed to the receiver, for at most the timing's
    // closeFlushTimeout; queued media is dropped. The object deletes itself on its thread
    // afterwards (deleteLater); do not touch it after shutdown().
    void shutdown();

    // Sends a request; `handler` runs once with the answer, or with an error response (code
    // KPError::Timeout) when none came within `timeout` (zero: the timing's requestTimeout),
    // or when the link ended. Returns the request's id.
    long long request(const std::string& method, Json params, ResponseHandler handler,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds::zero());
    // Gives a pending request a new deadline, `timeout` from now (no effect once answered).
    void extendRequest(long long id, std::chrono::milliseconds timeout);
    void notify(const std::string& method, Json params);
    void respond(const KPJSONRPCResponse& response);

    // Queues one encoded media frame (see KPReceiverLinkCodec), possibly preceded by the frames
    // that belong to it (its capture time): the entry is written, counted and dropped whole, and
    // `isKeyFrame` describes its access unit. Drop policy: an entry that would take the queue
    // above kHardCap, or an H.264 unit queued while the oldest media on its way has waited
    // kMaxMediaAge, is dropped (the newest one), and after a dropped H.264 access unit every
    // following non-key unit is dropped until the next key frame.
    EnqueueResult enqueueMedia(QByteArray frame, bool isH264, bool isKeyFrame);

    bool isOpen() const { return m_open; }
    qint64 queuedBytes() const;
    quint64 droppedFrames() const { return m_dropped; }
    // How long the oldest media still on its way to the receiver has waited.
    std::chrono::steady_clock::duration mediaAge() const;
    // Whether a sender should queue the next picture: within kReadyBound and kReadyAge.
    bool readyForMedia() const;

    // Feeds bytes as if they had come from the receiver (fuzzing and tests: a link that was
    // never opened runs its hello exchange on these bytes alone, without a socket).
    void receiveForTesting(const QByteArray& bytes);
    // Registers the hello request without connecting, for receiveForTesting().
    void beginWithoutSocketForTesting();

private:
    struct Pending
    {
        ResponseHandler handler;
        std::chrono::steady_clock::time_point deadline;
    };

    void startOnThread();
    void registerHello();
    void finish(KPError error);
    void finishGracefully();
    void scheduleFlush();
    void flush();
    void readIncoming();
    void processIncoming(const QByteArray& bytes);
    void handleJson(const QByteArray& text);
    void enqueueControl(const std::string& text);
    void checkDeadlines();
    void updateDelivered();

    const QString m_host;
    const quint16 m_port;
    const std::chrono::milliseconds m_timeout;
    const Json m_helloParams;
    const Timing m_timing;
    Callbacks m_callbacks;

    QTcpSocket* m_socket = nullptr;
    QTimer* m_timer = nullptr;
    QTimer* m_deadlineTimer = nullptr;
    std::chrono::steady_clock::time_point m_lastReceived;
    long long m_pingId = 0; // the outstanding keep-alive, 0 when none
    bool m_finished = false;
    bool m_closing = false;
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_silenced{false};
    std::atomic<bool> m_shutdown{false};

    mutable std::mutex m_queueMutex;
    std::deque<QByteArray> m_control;
    std::deque<QByteArray> m_media;
    qint64 m_queued = 0;
    qint64 m_controlBytes = 0;
    bool m_controlOverflow = false;
    bool m_waitForKeyFrame = false;
    bool m_flushScheduled = false;
    std::atomic<qint64> m_socketBuffered{0};
    MediaBacklog m_backlog; // under m_queueMutex
    qint64 m_written = 0;   // bytes handed to the socket (link thread)
    QTimer* m_drainTimer = nullptr;
    std::atomic<quint64> m_dropped{0};

    std::mutex m_pendingMutex;
    std::map<long long, Pending> m_pending;
    std::atomic<long long> m_nextId{1};

    struct DecoderState;
    std::unique_ptr<DecoderState> m_decoder;
};
