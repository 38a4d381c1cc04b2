#pragma once

// A minimal HTTP/1.1 server for the receiver's configuration file: GET /pikora_config.json
// answers 200 with the JSON body; other paths 404, other methods 405, malformed requests 400,
// request heads above 8 KiB 431. Every connection is closed after one answer or after 5 s
// without a complete request head.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <atomic>
#include <functional>

class QTcpServer;
class QTcpSocket;

class ConfigHttpServer : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxRequestHead = 8 * 1024;
    static constexpr int kIdleTimeoutMs = 5000;
    static constexpr int kMaxConnections = 32;

    // `body` is asked for on every request, so it can follow renames.
    explicit ConfigHttpServer(std::function<QByteArray()> body, QObject* parent = nullptr);
    ~ConfigHttpServer() override;

    bool listen(const QHostAddress& address, quint16 port, QString* error = nullptr);
    quint16 port() const;
    void close();

    quint64 requestsServed() const { return m_served; }

private:
    void accept();
    void handle(QTcpSocket* socket);
    void answer(QTcpSocket* socket, int status, const QByteArray& reason, const QByteArray& body,
                const QByteArray& contentType);

    std::function<QByteArray()> m_body;
    QTcpServer* m_server = nullptr;
    int m_open = 0;
    std::atomic<quint64> m_served{0};
};
