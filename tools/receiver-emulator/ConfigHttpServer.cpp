#include "ConfigHttpServer.h"

#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

const char kIdleTimerProperty[] = "idleTimer";
constexpr int kTrickleIntervalMs = 100;

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// A JSON object of exactly `size` bytes (at least 12): {"pad":"xxx...x"}.
QByteArray oversizeBody(qint64 size)
{
    const QByteArray head = "{\"pad\":\"";
    const QByteArray tail = "\"}";
    const qint64 fill = std::max<qint64>(0, size - head.size() - tail.size());
    return head + QByteArray(fill, 'x') + tail;
}

} // namespace

ConfigHttpServer::ConfigHttpServer(std::function<QByteArray()> body, QObject* parent)
    : QObject(parent), m_body(std::move(body))
{
}

ConfigHttpServer::~ConfigHttpServer() = default;

bool ConfigHttpServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    auto* server = new QTcpServer(this);
    if (!server->listen(address, port)) {
        if (error)
            *error = server->errorString();
        delete server;
        return false;
    }
    m_servers.append(server);
    m_requests.insert(server->serverPort(), 0);
    connect(server, &QTcpServer::newConnection, this, [this, server] { accept(server); });
    return true;
}

quint16 ConfigHttpServer::port() const
{
    return m_servers.isEmpty() ? 0 : m_servers.first()->serverPort();
}

QList<quint16> ConfigHttpServer::ports() const
{
    QList<quint16> out;
    for (const QTcpServer* server : m_servers)
        out.append(server->serverPort());
    return out;
}

void ConfigHttpServer::close()
{
    for (QTcpServer* server : std::as_const(m_servers)) {
        server->close();
        delete server;
    }
    m_servers.clear();
}

quint64 ConfigHttpServer::requestsOn(quint16 port) const
{
    return m_requests.value(port, 0);
}

void ConfigHttpServer::setBody(std::optional<QByteArray> body)
{
    m_bodyOverride = std::move(body);
}

void ConfigHttpServer::setBehaviour(std::optional<quint16> port, const Behaviour& behaviour)
{
    if (port) {
        m_behaviours.insert(*port, behaviour);
        return;
    }
    m_behaviours.clear();
    m_defaultBehaviour = behaviour;
}

ConfigHttpServer::Behaviour ConfigHttpServer::behaviour(quint16 port) const
{
    return m_behaviours.value(port, m_defaultBehaviour);
}

void ConfigHttpServer::reset()
{
    m_behaviours.clear();
    m_defaultBehaviour = Behaviour{};
    m_bodyOverride.reset();
}

void ConfigHttpServer::accept(QTcpServer* server)
{
    const quint16 port = server->serverPort();
    while (server->hasPendingConnections()) {
        QTcpSocket* socket = server->nextPendingConnection();
        if (m_open >= kMaxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++m_open;
        socket->setParent(this);
        socket->setReadBufferSize(kMaxRequestHead + 1);
        auto* timer = new QTimer(socket);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->abort(); });
        timer->start(kIdleTimeoutMs);
        socket->setProperty(kIdleTimerProperty, QVariant::fromValue<QObject*>(timer));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, port] { handle(socket, port); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            --m_open;
            socket->deleteLater();
        });
        connect(socket, &QTcpSocket::errorOccurred, socket, [socket](QAbstractSocket::SocketError) {
            if (socket->state() == QAbstractSocket::UnconnectedState)
                socket->deleteLater();
        });
    }
}

void ConfigHttpServer::handle(QTcpSocket* socket, quint16 port)
{
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray head = socket->property("head").toByteArray();
    head += socket->read(kMaxRequestHead + 1 - head.size());
    const qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() > kMaxRequestHead)
            answer(socket, 431, "Request Header Fields Too Large", {}, "text/plain");
        else
            socket->setProperty("head", head);
        return;
    }
    ++m_requests[port];
    const qsizetype lineEnd = head.indexOf("\r\n");
    const QList<QByteArray> parts = head.left(lineEnd).split(' ');
    if (parts.size() != 3 || !parts[2].startsWith("HTTP/1.")) {
        answer(socket, 400, "Bad Request", {}, "text/plain");
        return;
    }
    if (parts[0] != "GET") {
        answer(socket, 405, "Method Not Allowed", {}, "text/plain");
        return;
    }
    QByteArray path = parts[1];
    if (const qsizetype q = path.indexOf('?'); q >= 0)
        path.truncate(q);
    if (path != "/pikora_config.json") {
        answer(socket, 404, "Not Found", {}, "text/plain");
        return;
    }
    // From here the answer is this port's to shape; it may take longer than the idle limit.
    socket->setProperty("answered", true);
    if (auto* idle = qobject_cast<QTimer*>(socket->property(kIdleTimerProperty).value<QObject*>()))
        idle->stop();
    const Behaviour how = behaviour(port);
    if (how.delayMs > 0) {
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(how.delayMs, this, [this, guard, port] {
            if (guard && guard->state() == QAbstractSocket::ConnectedState)
                serveFile(guard, port);
        });
        return;
    }
    serveFile(socket, port);
}

void ConfigHttpServer::serveFile(QTcpSocket* socket, quint16 port)
{
    const Behaviour how = behaviour(port);
    if (!how.redirectTo.isEmpty()) {
        answer(socket, 302, "Found", {}, "text/plain", "Location: " + how.redirectTo.toUtf8() + "\r\n");
        return;
    }
    if (how.status != 200) {
        answer(socket, how.status, reasonFor(how.status), {}, "text/plain");
        return;
    }
    ++m_served;
    const QByteArray generated = m_body ? m_body() : QByteArray("{}");
    QByteArray body = m_bodyOverride.value_or(generated);
    if (how.oversizeBytes > 0)
        body = oversizeBody(how.oversizeBytes);
    answer(socket, 200, "OK", body, "application/json", {}, how.bytesPerSecond, how.announceLength);
}

void ConfigHttpServer::answer(QTcpSocket* socket, int status, const QByteArray& reason,
                              const QByteArray& body, const QByteArray& contentType,
                              const QByteArray& extraHeaders, int bytesPerSecond, bool announceLength)
{
    socket->setProperty("answered", true);
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    out += "Content-Type: " + contentType + "\r\n";
    if (announceLength)
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += extraHeaders;
    out += "Connection: close\r\n\r\n";
    if (bytesPerSecond > 0) {
        socket->write(out);
        trickle(socket, body, bytesPerSecond);
        return;
    }
    out += body;
    socket->write(out);
    socket->disconnectFromHost();
}

void ConfigHttpServer::trickle(QTcpSocket* socket, QByteArray rest, int bytesPerSecond)
{
    const qsizetype step = std::max(1, bytesPerSecond * kTrickleIntervalMs / 1000);
    auto* timer = new QTimer(socket);
    auto remaining = std::make_shared<QByteArray>(std::move(rest));
    connect(timer, &QTimer::timeout, socket, [socket, timer, remaining, step] {
        if (socket->state() != QAbstractSocket::ConnectedState) {
            timer->stop();
            return;
        }
        socket->write(remaining->left(step));
        remaining->remove(0, std::min(step, remaining->size()));
        if (remaining->isEmpty()) {
            timer->stop();
            socket->disconnectFromHost();
        }
    });
    timer->start(kTrickleIntervalMs);
}

QString ConfigHttpServer::helpText()
{
    return QStringLiteral("  config body TEXT       serve TEXT as pikora_config.json (config body-default: "
                          "the generated file)\n"
                          "  config status PORT|all CODE       answer CODE on that port\n"
                          "  config delay PORT|all MS          wait before answering\n"
                          "  config slow PORT|all BYTES/S      trickle the body\n"
                          "  config oversize PORT|all BYTES [nolength]  serve an oversized JSON body\n"
                          "  config redirect PORT|all URL|off  answer 302 to URL\n"
                          "  config reset | config stats");
}

QString ConfigHttpServer::execute(const QString& arguments)
{
    const QString trimmed = arguments.trimmed();
    const qsizetype space = trimmed.indexOf(QLatin1Char(' '));
    const QString command = space < 0 ? trimmed : trimmed.left(space);
    const QString rest = space < 0 ? QString() : trimmed.mid(space + 1);
    const QStringList args = rest.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString ok = QStringLiteral("ok");
    auto usage = [](const char* text) {
        return QStringLiteral("error: usage: config %1").arg(QLatin1String(text));
    };

    if (command == QLatin1String("body")) {
        setBody(rest.toUtf8());
        return ok;
    }
    if (command == QLatin1String("body-default")) {
        setBody(std::nullopt);
        return ok;
    }
    if (command == QLatin1String("reset")) {
        reset();
        return ok;
    }
    if (command == QLatin1String("stats")) {
        QStringList members;
        for (auto it = m_requests.constBegin(); it != m_requests.constEnd(); ++it)
            members.append(QStringLiteral("\"%1\":%2").arg(it.key()).arg(it.value()));
        return QLatin1Char('{') + members.join(QLatin1Char(',')) + QLatin1Char('}');
    }

    // The per-port commands: config NAME PORT|all VALUE...
    if (args.isEmpty())
        return usage("NAME PORT|all VALUE");
    std::optional<quint16> port;
    if (args[0] != QLatin1String("all")) {
        bool okPort = false;
        const uint value = args[0].toUInt(&okPort);
        if (!okPort || value == 0 || value > 65535)
            return QStringLiteral("error: bad port \"%1\"").arg(args[0].left(20));
        port = quint16(value);
    }
    Behaviour how = port ? behaviour(*port) : m_defaultBehaviour;
    auto number = [&](qint64 min, qint64 max, qint64& out) {
        bool okNumber = false;
        out = args.value(1).toLongLong(&okNumber);
        return okNumber && out >= min && out <= max;
    };
    qint64 value = 0;
    if (command == QLatin1String("status")) {
        if (args.size() != 2 || !number(100, 599, value))
            return usage("status PORT|all CODE");
        how.status = int(value);
    } else if (command == QLatin1String("delay")) {
        if (args.size() != 2 || !number(0, kMaxDelayMs, value))
            return usage("delay PORT|all MS");
        how.delayMs = int(value);
    } else if (command == QLatin1String("slow")) {
        if (args.size() != 2 || !number(0, 100 * 1024 * 1024, value))
            return usage("slow PORT|all BYTES-PER-SECOND");
        how.bytesPerSecond = int(value);
    } else if (command == QLatin1String("oversize")) {
        if (args.size() < 2 || args.size() > 3 || !number(0, kMaxOversizeBytes, value) ||
            (args.size() == 3 && args[2] != QLatin1String("nolength")))
            return usage("oversize PORT|all BYTES [nolength]");
        how.oversizeBytes = value;
        how.announceLength = args.size() != 3;
    } else if (command == QLatin1String("redirect")) {
        if (args.size() != 2)
            return usage("redirect PORT|all URL|off");
        how.redirectTo = args[1] == QLatin1String("off") ? QString() : args[1];
    } else {
        return QStringLiteral("error: unknown config command \"%1\"").arg(command.left(40));
    }
    setBehaviour(port, how);
    return ok;
}
