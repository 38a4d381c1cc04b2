#include "Beamline/KPReceiverLink.h"

#include "Beamline/BeamlineLogging.h"
#include "Beamline/JsonAccess.h"
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPReceiverDescription.h"
#include "Beamline/KPReceiverLinkCodec.h"
#include "Support/FrameCodec.h"
#include "Support/ThreadHandoff.h"

#include <QCoreApplication>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <climits>
#include <limits>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

std::mutex g_timingMutex;
KPReceiverLink::Timing g_timing;

// How often deadlines and liveness are looked at.
constexpr std::chrono::milliseconds kDeadlineTick{100};

} // namespace

void KPReceiverLink::setDefaultTiming(const Timing& timing)
{
    std::lock_guard lock(g_timingMutex);
    g_timing = timing;
}

KPReceiverLink::Timing KPReceiverLink::defaultTiming()
{
    std::lock_guard lock(g_timingMutex);
    return g_timing;
}

struct KPReceiverLink::DecoderState
{
    // The receiver only ever sends JSON frames.
    FrameCodec::Decoder decoder{KPBeamlineProtocol::kMaxControlMessageSize + 1};
};

KPReceiverLink::KPReceiverLink(QString host, quint16 port, std::chrono::milliseconds connectTimeout,
                               Json helloParams, Callbacks callbacks)
    : m_host(std::move(host)), m_port(port), m_timeout(connectTimeout), m_helloParams(std::move(helloParams)),
      m_timing(defaultTiming()), m_callbacks(std::move(callbacks)),
      m_decoder(std::make_unique<DecoderState>())
{
}

KPReceiverLink::~KPReceiverLink()
{
    // Answer whatever is still pending so no completion is lost.
    std::map<long long, Pending> pending;
    {
        std::lock_guard lock(m_pendingMutex);
        pending.swap(m_pending);
    }
    for (auto& [id, p] : pending)
        p.handler(KPJSONRPCResponse::failure(Json(id), KPError::ConnectionClosed, "link closed"));
}

void KPReceiverLink::open()
{
    // Built on the caller's thread, run on the link thread from here on.
    Support::postTo(this, [this] { startOnThread(); });
}

void KPReceiverLink::shutdown()
{
    m_silenced = true;
    m_shutdown = true;
    Support::postTo(this, [this] { finishGracefully(); });
}

void KPReceiverLink::finishGracefully()
{
    if (m_closing)
        return;
    m_closing = true;
    const KPError closed = KPError::make(KPError::Cancelled, QStringLiteral("link closed by the sender"));
    auto done = [this, closed] {
        finish(closed);
        deleteLater();
    };
    if (m_finished || !m_socket || m_socket->state() != QAbstractSocket::ConnectedState) {
        done();
        return;
    }
    // Hand the receiver what is left of the control queue (a last "stopDisplay"); media no
    // longer matters. At most closeFlushTimeout is spent on it.
    std::deque<QByteArray> control;
    {
        std::lock_guard lock(m_queueMutex);
        control.swap(m_control);
        m_media.clear();
        m_backlog.clear();
        m_queued = 0;
        m_controlBytes = 0;
    }
    for (const QByteArray& frame : control)
        m_socket->write(frame);
    m_socket->disconnect(this);
    auto once = std::make_shared<bool>(false);
    auto finishOnce = [once, done] {
        if (!*once) {
            *once = true;
            done();
        }
    };
    // Once everything is written, half-close and wait for the receiver to close its side, so
    // that nothing it sent meanwhile turns our close into a reset that could discard the
    // message. Whatever it still sends is read and ignored.
    auto halfClose = [this] {
        if (m_socket->bytesToWrite() == 0 && m_socket->socketDescriptor() >= 0)
            ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
    };
    connect(m_socket, &QTcpSocket::bytesWritten, this, halfClose);
    connect(m_socket, &QTcpSocket::readyRead, this, [this] { m_socket->readAll(); });
    connect(m_socket, &QTcpSocket::disconnected, this, finishOnce);
    connect(m_socket, &QTcpSocket::errorOccurred, this,
            [finishOnce](QAbstractSocket::SocketError) { finishOnce(); });
    halfClose();
    QTimer::singleShot(m_timing.closeFlushTimeout, this, finishOnce);
    // A link thread that stops meanwhile (the controller going away) ends the wait at once;
    // the thread deletes the link on its way out.
    if (QThread* t = thread();
        t && QCoreApplication::instance() && t != QCoreApplication::instance()->thread())
        connect(t, &QThread::finished, this, finishOnce, Qt::DirectConnection);
}

void KPReceiverLink::startOnThread()
{
    if (m_shutdown || m_socket)
        return;
    m_socket = new QTcpSocket(this);
    // Receivers are on the local network: a desktop proxy (libproxy, PAC) must not be asked.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    m_socket->setReadBufferSize(256 << 10);
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        finish(KPError::make(KPError::ConnectTimeout,
                             QStringLiteral("Connection timed out after %1 ms").arg(m_timeout.count())));
    });
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        flush();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &KPReceiverLink::readIncoming);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &KPReceiverLink::flush);
    // The kernel reports no progress by itself: look while media is on its way.
    m_drainTimer = new QTimer(this);
    m_drainTimer->setInterval(kDrainPoll);
    connect(m_drainTimer, &QTimer::timeout, this, &KPReceiverLink::updateDelivered);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_open)
            finish(KPError::make(KPError::ConnectionClosed, m_socket->errorString()));
        else
            finish(KPError::make(KPError::ConnectionFailed, m_socket->errorString()));
    });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        finish(KPError::make(m_open ? KPError::ConnectionClosed : KPError::ConnectionFailed,
                             QStringLiteral("the receiver closed the link")));
    });

    registerHello();
    m_timer->start(m_timeout);
    m_socket->connectToHost(m_host, m_port);
}

void KPReceiverLink::beginWithoutSocketForTesting()
{
    if (m_shutdown || m_socket || m_deadlineTimer)
        return;
    registerHello();
}

void KPReceiverLink::registerHello()
{
    m_lastReceived = std::chrono::steady_clock::now();
    m_deadlineTimer = new QTimer(this);
    connect(m_deadlineTimer, &QTimer::timeout, this, &KPReceiverLink::checkDeadlines);
    m_deadlineTimer->start(kDeadlineTick);

    // The connect timer bounds the hello; its own deadline only backs that up.
    const auto helloDeadline = m_timeout + std::chrono::milliseconds(1000);
    request(
        KPBeamlineProtocol::Method::Hello, m_helloParams,
        [this](const KPJSONRPCResponse& response) {
            if (m_finished)
                return;
            if (response.isError()) {
                const Json& e = response.error();
                const auto code = JsonAccess::integer(e, "code", INT_MIN, INT_MAX);
                const auto message = JsonAccess::string(e, "message", 1024);
                const int c = code ? int(*code) : 0;
                const KPError::Code kind = c == KPBeamlineProtocol::ErrorCode::Refused ? KPError::Refused
                                           : c == KPError::Timeout ? KPError::ConnectTimeout
                                                                   : KPError::ConnectionFailed;
                finish(KPError::make(kind, message ? QString::fromStdString(*message)
                                                   : QStringLiteral("hello refused")));
                return;
            }
            // The same checks as a discovery reply: identity strings, version and parameters.
            QString why;
            if (!KPReceiverDescription::read(response.result(), &why)) {
                const QString error = QStringLiteral("malformed hello answer: %1").arg(why);
                if (!m_silenced && m_callbacks.protocolError)
                    m_callbacks.protocolError(error);
                finish(KPError::make(KPError::ProtocolError, error));
                return;
            }
            if (m_timer)
                m_timer->stop();
            m_open = true;
            if (!m_silenced && m_callbacks.opened)
                m_callbacks.opened(response.result());
        },
        helloDeadline);
}

void KPReceiverLink::checkDeadlines()
{
    if (m_finished)
        return;
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::pair<long long, ResponseHandler>> expired;
    {
        std::lock_guard lock(m_pendingMutex);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (it->second.deadline <= now) {
                expired.emplace_back(it->first, std::move(it->second.handler));
                it = m_pending.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& [id, handler] : expired) {
        if (id == m_pingId)
            m_pingId = 0;
        qCInfo(lcBeamline) << "KPReceiverLink: request" << id << "to" << m_host << "had no answer in time";
        if (handler)
            handler(KPJSONRPCResponse::failure(Json(id), KPError::Timeout, "no answer in time"));
        if (m_finished)
            return;
    }
    if (!m_open)
        return;
    // Liveness: anything from the receiver counts; a quiet receiver is pinged, a silent one
    // loses its link through the usual disconnect path.
    const auto quiet = now - m_lastReceived;
    if (quiet >= m_timing.idleTimeout) {
        finish(KPError::make(KPError::Timeout,
                             QStringLiteral("the receiver sent nothing for %1 ms")
                                 .arg(std::chrono::duration_cast<std::chrono::milliseconds>(quiet).count())));
        return;
    }
    if (quiet >= m_timing.keepAliveAfter && m_pingId == 0)
        m_pingId = request(
            KPBeamlineProtocol::Method::Ping, Json::object(), [](const KPJSONRPCResponse&) {},
            m_timing.idleTimeout);
}

void KPReceiverLink::finish(KPError error)
{
    if (m_finished)
        return;
    m_finished = true;
    const bool wasOpen = m_open.exchange(false);
    if (m_timer)
        m_timer->stop();
    if (m_deadlineTimer)
        m_deadlineTimer->stop();
    if (m_drainTimer)
        m_drainTimer->stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    {
        std::lock_guard lock(m_queueMutex);
        m_control.clear();
        m_media.clear();
        m_backlog.clear();
        m_queued = 0;
        m_controlBytes = 0;
    }
    m_socketBuffered = 0;
    std::map<long long, Pending> pending;
    {
        std::lock_guard lock(m_pendingMutex);
        pending.swap(m_pending);
    }
    for (auto& [id, p] : pending)
        if (p.handler)
            p.handler(KPJSONRPCResponse::failure(Json(id), error.code, error.message.toStdString()));
    if (m_silenced)
        return;
    if (wasOpen) {
        qCInfo(lcBeamline).noquote() << "receiver link to" << m_host << "ended:" << error.message;
        if (m_callbacks.closed)
            m_callbacks.closed(error);
    } else {
        qCInfo(lcBeamline).noquote() << "receiver link to" << m_host << "failed:" << error.message;
        if (m_callbacks.failed)
            m_callbacks.failed(error);
    }
}

long long KPReceiverLink::request(const std::string& method, Json params, ResponseHandler handler,
                                  std::chrono::milliseconds timeout)
{
    const long long id = m_nextId++;
    if (handler) {
        const auto deadline =
            std::chrono::steady_clock::now() + (timeout.count() > 0 ? timeout : m_timing.requestTimeout);
        std::lock_guard lock(m_pendingMutex);
        m_pending.emplace(id, Pending{std::move(handler), deadline});
    }
    enqueueControl(KPJSONRPCRequest(method, std::move(params), Json(id)).JSONRPCMessage());
    return id;
}

void KPReceiverLink::extendRequest(long long id, std::chrono::milliseconds timeout)
{
    std::lock_guard lock(m_pendingMutex);
    if (auto it = m_pending.find(id); it != m_pending.end())
        it->second.deadline = std::chrono::steady_clock::now() + timeout;
}

void KPReceiverLink::notify(const std::string& method, Json params)
{
    enqueueControl(KPJSONRPCNotification(method, std::move(params)).JSONRPCMessage());
}

void KPReceiverLink::respond(const KPJSONRPCResponse& response)
{
    enqueueControl(response.JSONRPCMessage());
}

void KPReceiverLink::enqueueControl(const std::string& text)
{
    QByteArray frame = KPReceiverLinkCodec::encodeJson(text);
    if (frame.isEmpty()) {
        qCWarning(lcBeamline) << "KPReceiverLink: control message too large, not sent";
        return;
    }
    {
        std::lock_guard lock(m_queueMutex);
        if (m_controlOverflow)
            return;
        if (qsizetype(m_control.size()) >= kMaxQueuedControlMessages ||
            m_controlBytes + frame.size() > kMaxQueuedControlBytes) {
            // The receiver has stopped reading: close rather than lose a message unnoticed.
            m_controlOverflow = true;
            Support::postTo(this, [this] {
                const QString why = QStringLiteral("the receiver does not read its control messages "
                                                   "(more than %1 or %2 bytes queued)")
                                        .arg(kMaxQueuedControlMessages)
                                        .arg(kMaxQueuedControlBytes);
                qCWarning(lcBeamline).noquote() << "KPReceiverLink:" << why;
                finish(KPError::make(KPError::ConnectionClosed, why));
            });
            return;
        }
        m_queued += frame.size();
        m_controlBytes += frame.size();
        m_control.push_back(std::move(frame));
    }
    scheduleFlush();
}

KPReceiverLink::EnqueueResult KPReceiverLink::enqueueMedia(QByteArray frame, bool isH264, bool isKeyFrame)
{
    if (!m_open || frame.isEmpty())
        return EnqueueResult::NotOpen;
    {
        std::lock_guard lock(m_queueMutex);
        const bool skipUntilKey = isH264 && m_waitForKeyFrame && !isKeyFrame;
        const qint64 total = m_queued + m_socketBuffered;
        const bool overCap = total > 0 && total + frame.size() > kHardCap;
        const auto now = std::chrono::steady_clock::now();
        const bool tooOld = isH264 && m_backlog.age(now) >= kMaxMediaAge;
        if (skipUntilKey || overCap || tooOld || m_backlog.full()) {
            if (isH264)
                m_waitForKeyFrame = true;
            ++m_dropped;
            return EnqueueResult::Dropped;
        }
        if (isH264 && isKeyFrame)
            m_waitForKeyFrame = false;
        m_queued += frame.size();
        m_media.push_back(std::move(frame));
        m_backlog.queued(now);
    }
    scheduleFlush();
    return EnqueueResult::Queued;
}

qint64 KPReceiverLink::queuedBytes() const
{
    std::lock_guard lock(m_queueMutex);
    return m_queued + m_socketBuffered;
}

std::chrono::steady_clock::duration KPReceiverLink::mediaAge() const
{
    std::lock_guard lock(m_queueMutex);
    return m_backlog.age(std::chrono::steady_clock::now());
}

bool KPReceiverLink::readyForMedia() const
{
    return queuedBytes() <= kReadyBound && mediaAge() <= kReadyAge;
}

void KPReceiverLink::updateDelivered()
{
    // What the receiver's side has taken: everything written, less what still sits in the
    // socket's buffer and in the kernel's send queue (unsent or unacknowledged).
    qint64 pending = m_socket ? m_socket->bytesToWrite() : 0;
    if (m_socket && m_socket->socketDescriptor() >= 0) {
        int kernelQueued = 0;
        if (::ioctl(int(m_socket->socketDescriptor()), SIOCOUTQ, &kernelQueued) == 0 && kernelQueued > 0)
            pending += kernelQueued;
    }
    bool waiting = false;
    {
        std::lock_guard lock(m_queueMutex);
        m_backlog.delivered(m_written - pending);
        waiting = !m_backlog.empty();
    }
    if (!m_drainTimer)
        return;
    if (waiting && !m_drainTimer->isActive())
        m_drainTimer->start();
    else if (!waiting && m_drainTimer->isActive())
        m_drainTimer->stop();
}

void KPReceiverLink::scheduleFlush()
{
    {
        std::lock_guard lock(m_queueMutex);
        if (m_flushScheduled)
            return;
        m_flushScheduled = true;
    }
    QMetaObject::invokeMethod(this, &KPReceiverLink::flush, Qt::QueuedConnection);
}

void KPReceiverLink::flush()
{
    {
        std::lock_guard lock(m_queueMutex);
        m_flushScheduled = false;
    }
    if (m_finished || m_closing || !m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    while (m_socket->bytesToWrite() < kSocketChunk) {
        QByteArray next;
        bool media = false;
        {
            std::lock_guard lock(m_queueMutex);
            if (!m_control.empty()) {
                next = std::move(m_control.front());
                m_control.pop_front();
                m_controlBytes -= next.size();
            } else if (!m_media.empty()) {
                next = std::move(m_media.front());
                m_media.pop_front();
                media = true;
            } else {
                break;
            }
            m_queued -= next.size();
            // Account for it as socket-buffered before releasing the lock, so the total never
            // dips while a frame is in hand.
            m_socketBuffered += next.size();
            m_written += next.size();
            if (media)
                m_backlog.handedToSocket(m_written);
        }
        m_socket->write(next);
        m_socketBuffered = m_socket->bytesToWrite();
    }
    m_socketBuffered = m_socket->bytesToWrite();
    updateDelivered();
}

void KPReceiverLink::readIncoming()
{
    if (m_finished || m_closing || !m_socket)
        return;
    processIncoming(m_socket->readAll());
}

void KPReceiverLink::receiveForTesting(const QByteArray& bytes)
{
    if (!m_finished && !m_closing)
        processIncoming(bytes);
}

void KPReceiverLink::processIncoming(const QByteArray& bytes)
{
    if (!bytes.isEmpty())
        m_lastReceived = std::chrono::steady_clock::now();
    m_decoder->decoder.append(bytes);
    QByteArray body;
    for (;;) {
        const auto status = m_decoder->decoder.next(body);
        if (status == FrameCodec::Decoder::Status::NeedMore)
            return;
        if (status == FrameCodec::Decoder::Status::Error) {
            const QString why = m_decoder->decoder.errorString();
            if (!m_silenced && m_callbacks.protocolError)
                m_callbacks.protocolError(why);
            finish(KPError::make(KPError::ProtocolError, why));
            return;
        }
        KPReceiverLinkCodec::Message message;
        const auto result = KPReceiverLinkCodec::decodeBody(body, message);
        if (result == KPReceiverLinkCodec::DecodeResult::UnknownType) {
            qCDebug(lcBeamline) << "KPReceiverLink: skipped a frame of unknown type";
            continue;
        }
        if (result != KPReceiverLinkCodec::DecodeResult::Ok ||
            message.type != KPBeamlineProtocol::FrameType::Json) {
            const QString why = result != KPReceiverLinkCodec::DecodeResult::Ok
                                    ? KPReceiverLinkCodec::describe(result)
                                    : QStringLiteral("media frame from the receiver");
            if (!m_silenced && m_callbacks.protocolError)
                m_callbacks.protocolError(why);
            finish(KPError::make(KPError::ProtocolError, why));
            return;
        }
        handleJson(message.payload);
        if (m_finished)
            return;
    }
}

void KPReceiverLink::handleJson(const QByteArray& text)
{
    std::string error;
    auto object = KPJSONRPCObject::parse(std::string_view(text.constData(), size_t(text.size())), &error);
    if (!object) {
        const QString why =
            QStringLiteral("malformed JSON-RPC message: %1").arg(QString::fromStdString(error));
        if (!m_silenced && m_callbacks.protocolError)
            m_callbacks.protocolError(why);
        finish(KPError::make(KPError::ProtocolError, why));
        return;
    }
    switch (object->kind()) {
    case KPJSONRPCObject::Kind::Response: {
        const auto& response = static_cast<const KPJSONRPCResponse&>(*object);
        const auto id = JsonAccess::asInteger(response.aId(), 1, std::numeric_limits<std::int64_t>::max());
        if (!id) {
            qCDebug(lcBeamline) << "KPReceiverLink: response without a valid numeric id ignored";
            return;
        }
        ResponseHandler handler;
        {
            std::lock_guard lock(m_pendingMutex);
            auto it = m_pending.find(*id);
            if (it == m_pending.end())
                return; // unknown, or answered too late
            handler = std::move(it->second.handler);
            m_pending.erase(it);
        }
        if (*id == m_pingId)
            m_pingId = 0;
        if (handler)
            handler(response);
        return;
    }
    case KPJSONRPCObject::Kind::Notification:
        if (!m_silenced && m_open && m_callbacks.notification)
            m_callbacks.notification(static_cast<const KPJSONRPCNotification&>(*object));
        return;
    case KPJSONRPCObject::Kind::Request:
        if (!m_silenced && m_open && m_callbacks.request)
            m_callbacks.request(static_cast<const KPJSONRPCRequest&>(*object));
        return;
    }
}
