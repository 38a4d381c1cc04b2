#pragma once

// A minimal HTTP/1.1 server for the receiver's configuration file: GET /pikora_config.json
// answers 200 with the JSON body; other paths 404, other methods 405, malformed requests 400,
// request heads above 8 KiB 431. Every connection is closed after one answer or after 5 s
// without a complete request head.
//
// It may listen on several ports (a real receiver serves the file on 80 and 8080), and each
// port can be told to misbehave for tests and the demo: answer another status, wait before
// answering, trickle the body, send an oversized body, redirect. The body itself can be
// replaced by any bytes (valid JSON or not). Text commands (execute()) set all of this:
//
//   config body TEXT                  serve TEXT as the file (any bytes; "config body" alone: empty)
//   config body-default               serve the generated file again
//   config status PORT|all CODE       answer CODE (200 serves the file)
//   config delay PORT|all MS          wait MS before answering
//   config slow PORT|all BYTES/S      trickle the body at that rate
//   config oversize PORT|all BYTES [nolength]  serve BYTES of JSON instead; "nolength": no
//                                     Content-Length, the body ends when the connection closes
//   config redirect PORT|all URL|off  answer 302 to URL
//   config reset                      every port back to normal, generated body
//   config stats                      {"PORT": requests, ...} for every port

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <optional>

class QTcpServer;
class QTcpSocket;

class ConfigHttpServer : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxRequestHead = 8 * 1024;
    static constexpr int kIdleTimeoutMs = 5000;
    static constexpr int kMaxConnections = 32;
    static constexpr qint64 kMaxOversizeBytes = 64 * 1024 * 1024;
    static constexpr int kMaxDelayMs = 120 * 1000;

    // How one port answers a request for the file.
    struct Behaviour
    {
        int status = 200;
        int delayMs = 0;
        int bytesPerSecond = 0;   // 0: the whole body at once
        qint64 oversizeBytes = 0; // > 0: a JSON body of this size instead of the file
        bool announceLength = true;
        QString redirectTo; // non-empty: 302 with this Location
    };

    // `body` is asked for on every request, so it can follow renames.
    explicit ConfigHttpServer(std::function<QByteArray()> body, QObject* parent = nullptr);
    ~ConfigHttpServer() override;

    // Adds a listening port (0: any free port). The first port added is port().
    bool listen(const QHostAddress& address, quint16 port, QString* error = nullptr);
    quint16 port() const;
    QList<quint16> ports() const;
    void close();

    quint64 requestsServed() const { return m_served; }
    // Requests with a complete head on `port`, whatever the answer.
    quint64 requestsOn(quint16 port) const;

    // A replacement body (nothing: the generated file again).
    void setBody(std::optional<QByteArray> body);
    // Behaviour of one port, or of every port when `port` is nothing.
    void setBehaviour(std::optional<quint16> port, const Behaviour& behaviour);
    Behaviour behaviour(quint16 port) const;
    void reset();

    // Runs one "config ..." command (without the word "config"); returns "ok", "error: ..."
    // or, for "stats", a JSON line.
    QString execute(const QString& arguments);
    static QString helpText();

private:
    struct Listener;
    void accept(QTcpServer* server);
    void handle(QTcpSocket* socket, quint16 port);
    void serveFile(QTcpSocket* socket, quint16 port);
    void answer(QTcpSocket* socket, int status, const QByteArray& reason, const QByteArray& body,
                const QByteArray& contentType, const QByteArray& extraHeaders = {}, int bytesPerSecond = 0,
                bool announceLength = true);
    void trickle(QTcpSocket* socket, QByteArray rest, int bytesPerSecond);

    std::function<QByteArray()> m_body;
    QList<QTcpServer*> m_servers;
    QMap<quint16, quint64> m_requests;
    QMap<quint16, Behaviour> m_behaviours;
    Behaviour m_defaultBehaviour;
    std::optional<QByteArray> m_bodyOverride;
    int m_open = 0;
    std::atomic<quint64> m_served{0};
};
