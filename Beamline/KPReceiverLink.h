#pragma once

// One TCP link to a receiver: connect with a deadline, the hello exchange, JSON-RPC requests
// with their responses, and the outgoing queue of control and media frames with its byte
// accounting. The object lives on a link thread (moveToThread before open()); every public
// function may be called from any thread, callbacks run on the link thread.

#include "Beamline/KPError.h"
#include "Beamline/KPJSONRPC.h"

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

    // The queue bound above which senders are told to wait, and the hard cap above which
    // media frames are dropped.
    static constexpr qint64 kReadyBound = 1 << 20;
    static constexpr qint64 kHardCap = 8 << 20;
    // How much is handed to the socket at a time.
    static constexpr qint64 kSocketChunk = 256 << 10;

    KPReceiverLink(QString host, quint16 port, std::chrono::milliseconds connectTimeout, Json helloParams,
                   Callbacks callbacks);
    ~KPReceiverLink() override;

    void open();
    // Ends the link without calling opened/failed/closed/notification/request any more.
    // Pending request handlers are answered with an error. The object deletes itself on its
    // thread afterwards (deleteLater); do not touch it after shutdown().
    void shutdown();

    void request(const std::string& method, Json params, ResponseHandler handler);
    void notify(const std::string& method, Json params);
    void respond(const KPJSONRPCResponse& response);

    // Queues one encoded media frame (see KPReceiverLinkCodec), possibly preceded by the frames
    // that belong to it (its capture time): the entry is written, counted and dropped whole, and
    // `isKeyFrame` describes its access unit. Drop policy: an entry that would take the queue
    // above kHardCap is dropped (the newest one), and after a dropped H.264 access unit every
    // following non-key unit is dropped until the next key frame.
    EnqueueResult enqueueMedia(QByteArray frame, bool isH264, bool isKeyFrame);

    bool isOpen() const { return m_open; }
    qint64 queuedBytes() const;
    quint64 droppedFrames() const { return m_dropped; }

private:
    void startOnThread();
    void finish(KPError error);
    void scheduleFlush();
    void flush();
    void readIncoming();
    void handleJson(const QByteArray& text);
    void enqueueControl(const std::string& text);

    const QString m_host;
    const quint16 m_port;
    const std::chrono::milliseconds m_timeout;
    const Json m_helloParams;
    Callbacks m_callbacks;

    QTcpSocket* m_socket = nullptr;
    QTimer* m_timer = nullptr;
    bool m_finished = false;
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_silenced{false};
    std::atomic<bool> m_shutdown{false};

    mutable std::mutex m_queueMutex;
    std::deque<QByteArray> m_control;
    std::deque<QByteArray> m_media;
    qint64 m_queued = 0;
    bool m_waitForKeyFrame = false;
    bool m_flushScheduled = false;
    std::atomic<qint64> m_socketBuffered{0};
    std::atomic<quint64> m_dropped{0};

    std::mutex m_pendingMutex;
    std::map<long long, ResponseHandler> m_pending;
    std::atomic<long long> m_nextId{1};

    struct DecoderState;
    std::unique_ptr<DecoderState> m_decoder;
};
