#pragma once

// Checks that a receiver answers at a known IPv4 address: one echo query over UDP, a bounded
// wait, and the receiver record the discovery reply describes.
//
// unicast() blocks its caller until a reply has been parsed or the timeout has passed, and
// never longer: the socket lives on the scanner's own socket thread, and the caller only
// posts work there (opening the socket and sending the query, closing it afterwards) without
// waiting for it. The parsers run on the scanner's operation queue, so the reply path never
// needs the caller's thread (the main thread may call it).
//
// Each query carries a fresh random token that the receiver echoes; only a discovery reply
// with the token of the query under way ends the wait. Datagrams without it are dropped on
// the socket thread before they are parsed, and at most kMaxPendingParses parses wait on the
// operation queue (further datagrams are dropped), so a flood costs little. A query therefore
// never returns a record from an earlier query, nor one that nobody asked for.

#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPRemoteHost.h"
#include "Beamline/KPSocketDataParser.h"
#include "Support/DispatchQueue.h"
#include "Support/DispatchSemaphore.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class QObject;
class QThread;
class QUdpSocket;

class UnicastRemoteHostScanner : public KPSocketDataParserDelegate
{
public:
    static constexpr int kMaxPendingParses = 16;

    // `port`: the receivers' discovery port: queries go to it and only replies from it count.
    explicit UnicastRemoteHostScanner(quint16 port = KPBeamlineProtocol::kDiscoveryPort);
    ~UnicastRemoteHostScanner() override;
    UnicastRemoteHostScanner(const UnicastRemoteHostScanner&) = delete;
    UnicastRemoteHostScanner& operator=(const UnicastRemoteHostScanner&) = delete;

    quint16 port() const { return m_port; }

    // Sends one echo query to `ip` and waits up to `timeout` seconds for the reply. Returns the
    // receiver's record, or no value when no discovery reply was parsed in time.
    std::optional<KPRemoteHost> unicast(const QString& ip, double timeout);

    // The socket's receive callback (socket thread): IPv4 senders on the discovery port whose
    // datagram carries the query's token only.
    void udpSocketDidReceiveData(const QByteArray& data, const QHostAddress& address, quint16 port);
    // Parses on the scanner's own operation queue with the scanner as delegate.
    void parseData(const QByteArray& data, const QString& host, quint16 port);
    void parseData(const QByteArray& data, const QString& host, quint16 port, DispatchQueue& queue,
                   KPSocketDataParserDelegate* delegate);

    void didFinishParsing(const Json& message, KPSocketDataParser* parser) override;
    void parseErrorOccurred(const QString& error, KPSocketDataParser* parser) override;

    std::optional<KPRemoteHost> target() const;
    void setTarget(std::optional<KPRemoteHost> target);
    DispatchQueue& operationQueue() { return *m_operationQueue; }
    // True while a query is under way (its socket is closed on the socket thread right after).
    bool hasSocket() const { return m_hasSocket; }
    // The token of the query under way; empty between queries.
    std::string queryToken() const;
    // Datagrams dropped without a parse: no token of the query under way, or too many waiting.
    quint64 droppedDatagrams() const { return m_dropped; }
    // The socket thread (null before the first query).
    QThread* socketThread() const { return m_socketThread.get(); }

private:
    void ensureSocketThread();
    // Socket thread.
    void openAndSend(const QByteArray& query, const QHostAddress& address);
    void closeSocket();

    const quint16 m_port;
    std::unique_ptr<QThread> m_socketThread;
    QObject* m_context = nullptr;      // lives on the socket thread
    QUdpSocket* m_udpSocket = nullptr; // socket thread only
    std::atomic<bool> m_hasSocket{false};
    std::atomic<int> m_pendingParses{0};
    std::atomic<quint64> m_dropped{0};

    mutable std::mutex m_mutex;
    std::optional<KPRemoteHost> m_target;
    std::string m_token;                      // the query under way
    std::shared_ptr<DispatchSemaphore> m_sem; // created by the first query, kept for the scanner's life

    // Declared last: destroyed first, so no parser outlives the scanner's other members.
    std::unique_ptr<DispatchQueue> m_operationQueue;
};
