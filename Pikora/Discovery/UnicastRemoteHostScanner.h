#pragma once

// Checks that a receiver answers at a known IPv4 address: one echo query over UDP, a bounded
// wait, and the receiver record the discovery reply describes.
//
// unicast() blocks its caller until a reply has been parsed or the timeout has passed. The
// socket lives on the scanner's own socket thread and the parsers run on its operation queue,
// so the reply path never needs the caller's thread (the main thread may call it).
//
// A query never returns a record from an earlier query: the record is cleared when a query
// starts, a wake-up left over from a reply that arrived after an earlier query timed out is
// drained, and parses belonging to an earlier query are ignored.

#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPRemoteHost.h"
#include "Beamline/KPSocketDataParser.h"
#include "Support/DispatchQueue.h"
#include "Support/DispatchSemaphore.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

class QThread;
class QUdpSocket;

class UnicastRemoteHostScanner : public KPSocketDataParserDelegate
{
public:
    // `port`: the receivers' discovery port: queries go to it and only replies from it count.
    explicit UnicastRemoteHostScanner(quint16 port = KPBeamlineProtocol::kDiscoveryPort);
    ~UnicastRemoteHostScanner() override;
    UnicastRemoteHostScanner(const UnicastRemoteHostScanner&) = delete;
    UnicastRemoteHostScanner& operator=(const UnicastRemoteHostScanner&) = delete;

    quint16 port() const { return m_port; }

    // Sends one echo query to `ip` and waits up to `timeout` seconds for the reply. Returns the
    // receiver's record, or no value when no discovery reply was parsed in time.
    std::optional<KPRemoteHost> unicast(const QString& ip, double timeout);

    // The socket's receive callback (socket thread): IPv4 senders on the discovery port only.
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
    // True while a query's socket exists.
    bool hasSocket() const { return m_hasSocket; }

private:
    void openSocket();
    void closeSocket();

    const quint16 m_port;
    std::unique_ptr<QThread> m_socketThread;
    QUdpSocket* m_udpSocket = nullptr; // socket thread only
    std::atomic<bool> m_hasSocket{false};
    std::atomic<quint64> m_generation{0}; // the query under way

    mutable std::mutex m_mutex;
    std::optional<KPRemoteHost> m_target;
    std::shared_ptr<DispatchSemaphore> m_sem; // created by the first query, kept for the scanner's life
    std::map<const KPSocketDataParser*, quint64> m_parserGeneration;

    // Declared last: destroyed first, so no parser outlives the scanner's other members.
    std::unique_ptr<DispatchQueue> m_operationQueue;
};
