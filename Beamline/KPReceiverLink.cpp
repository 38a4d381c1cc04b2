#include "Beamline/KPReceiverLink.h"

#include "Beamline/BeamlineLogging.h"
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPReceiverLinkCodec.h"
#include "Support/FrameCodec.h"
#include "Support/ThreadHandoff.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

struct KPReceiverLink::DecoderState
{
    // The receiver only ever sends JSON frames.
    FrameCodec::Decoder decoder{KPBeamlineProtocol::kMaxControlMessageSize + 1};
};

KPReceiverLink::KPReceiverLink(QString host, quint16 port, std::chrono::milliseconds connectTimeout,
                               Json helloParams, Callbacks callbacks)
    : m_host(std::move(host)), m_port(port), m_timeout(connectTimeout), m_helloParams(std::move(helloParams)),
      m_callbacks(std::move(callbacks)), m_decoder(std::make_unique<DecoderState>())
{
}

KPReceiverLink::~KPReceiverLink()
{
    // Answer whatever is still pending so no completion is lost.
    std::map<long long, ResponseHandler> pending;
    {
        std::lock_guard lock(m_pendingMutex);
        pending.swap(m_pending);
    }
    for (auto& [id, handler] : pending)
        handler(KPJSONRPCResponse::failure(Json(id), KPError::ConnectionClosed, "link closed"));
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
    Support::postTo(this, [this] {
        finish(KPError::make(KPError::Cancelled, QStringLiteral("link closed by the sender")));
        deleteLater();
    });
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

    request(KPBeamlineProtocol::Method::Hello, m_helloParams, [this](const KPJSONRPCResponse& response) {
        if (m_finished)
            return;
        if (response.isError()) {
            const Json& e = response.error();
            const int code = e.value("code", 0);
            finish(KPError::make(code == KPBeamlineProtocol::ErrorCode::Refused ? KPError::Refused
                                                                                : KPError::ConnectionFailed,
                                 QString::fromStdString(e.value("message", std::string("hello refused")))));
            return;
        }
        const Json& result = response.result();
        if (!result.is_object() || !result.contains("hostName") || !result["hostName"].is_string()) {
            finish(KPError::make(KPError::ProtocolError, QStringLiteral("malformed hello answer")));
            return;
        }
        m_timer->stop();
        m_open = true;
        if (!m_silenced && m_callbacks.opened)
            m_callbacks.opened(result);
    });
    m_timer->start(m_timeout);
    m_socket->connectToHost(m_host, m_port);
}

void KPReceiverLink::finish(KPError error)
{
    if (m_finished)
        return;
    m_finished = true;
    const bool wasOpen = m_open.exchange(false);
    if (m_timer)
        m_timer->stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    {
        std::lock_guard lock(m_queueMutex);
        m_control.clear();
        m_media.clear();
        m_queued = 0;
    }
    m_socketBuffered = 0;
    std::map<long long, ResponseHandler> pending;
    {
        std::lock_guard lock(m_pendingMutex);
        pending.swap(m_pending);
    }
    for (auto& [id, handler] : pending)
        handler(KPJSONRPCResponse::failure(Json(id), error.code, error.message.toStdString()));
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

void KPReceiverLink::request(const std::string& method, Json params, ResponseHandler handler)
{
    const long long id = m_nextId++;
    if (handler) {
        std::lock_guard lock(m_pendingMutex);
        m_pending.emplace(id, std::move(handler));
    }
    enqueueControl(KPJSONRPCRequest(method, std::move(params), Json(id)).JSONRPCMessage());
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
        m_queued += frame.size();
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
        if (skipUntilKey || overCap) {
            if (isH264)
                m_waitForKeyFrame = true;
            ++m_dropped;
            return EnqueueResult::Dropped;
        }
        if (isH264 && isKeyFrame)
            m_waitForKeyFrame = false;
        m_queued += frame.size();
        m_media.push_back(std::move(frame));
    }
    scheduleFlush();
    return EnqueueResult::Queued;
}

qint64 KPReceiverLink::queuedBytes() const
{
    std::lock_guard lock(m_queueMutex);
    return m_queued + m_socketBuffered;
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
    if (m_finished || !m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    while (m_socket->bytesToWrite() < kSocketChunk) {
        QByteArray next;
        {
            std::lock_guard lock(m_queueMutex);
            if (!m_control.empty()) {
                next = std::move(m_control.front());
                m_control.pop_front();
            } else if (!m_media.empty()) {
                next = std::move(m_media.front());
                m_media.pop_front();
            } else {
                break;
            }
            m_queued -= next.size();
            // Account for it as socket-buffered before releasing the lock, so the total never
            // dips while a frame is in hand.
            m_socketBuffered += next.size();
        }
        m_socket->write(next);
        m_socketBuffered = m_socket->bytesToWrite();
    }
    m_socketBuffered = m_socket->bytesToWrite();
}

void KPReceiverLink::readIncoming()
{
    if (m_finished || !m_socket)
        return;
    m_decoder->decoder.append(m_socket->readAll());
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
        if (!response.aId().is_number_integer()) {
            qCDebug(lcBeamline) << "KPReceiverLink: response without a numeric id ignored";
            return;
        }
        ResponseHandler handler;
        {
            std::lock_guard lock(m_pendingMutex);
            auto it = m_pending.find(response.aId().get<long long>());
            if (it == m_pending.end())
                return;
            handler = std::move(it->second);
            m_pending.erase(it);
        }
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
