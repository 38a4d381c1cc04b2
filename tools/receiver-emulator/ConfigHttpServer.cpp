#include "ConfigHttpServer.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

ConfigHttpServer::ConfigHttpServer(std::function<QByteArray()> body, QObject* parent)
    : QObject(parent), m_body(std::move(body))
{
}

ConfigHttpServer::~ConfigHttpServer() = default;

bool ConfigHttpServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    close();
    m_server = new QTcpServer(this);
    if (!m_server->listen(address, port)) {
        if (error)
            *error = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, &ConfigHttpServer::accept);
    return true;
}

quint16 ConfigHttpServer::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

void ConfigHttpServer::close()
{
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
}

void ConfigHttpServer::accept()
{
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket* socket = m_server->nextPendingConnection();
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
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { handle(socket); });
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

void ConfigHttpServer::handle(QTcpSocket* socket)
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
    ++m_served;
    answer(socket, 200, "OK", m_body ? m_body() : QByteArray("{}"), "application/json");
}

void ConfigHttpServer::answer(QTcpSocket* socket, int status, const QByteArray& reason,
                              const QByteArray& body, const QByteArray& contentType)
{
    socket->setProperty("answered", true);
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    out += body;
    socket->write(out);
    socket->disconnectFromHost();
}
