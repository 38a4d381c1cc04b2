#pragma once

// A parser of one received datagram, run as a unit of work on a queue: set the data, the
// sender and a delegate, then run main() on any thread. The delegate hears the outcome on
// that thread.

#include "Beamline/KPJSONRPC.h"

#include <QByteArray>
#include <QString>

class KPSocketDataParser;

class KPSocketDataParserDelegate
{
public:
    virtual ~KPSocketDataParserDelegate() = default;
    virtual void didFinishParsing(const Json& message, KPSocketDataParser* parser)
    {
        (void)message;
        (void)parser;
    }
    virtual void parseErrorOccurred(const QString& error, KPSocketDataParser* parser)
    {
        (void)error;
        (void)parser;
    }
};

class KPSocketDataParser
{
public:
    virtual ~KPSocketDataParser() = default;

    const QByteArray& dataToParse() const { return m_data; }
    void setDataToParse(const QByteArray& data) { m_data = data; }
    const QString& host() const { return m_host; }
    void setHost(const QString& host) { m_host = host; }
    quint16 port() const { return m_port; }
    void setPort(quint16 port) { m_port = port; }
    KPSocketDataParserDelegate* delegate() const { return m_delegate; }
    void setDelegate(KPSocketDataParserDelegate* delegate) { m_delegate = delegate; }

    // Parses dataToParse() and tells the delegate (if any) the outcome.
    void main();

protected:
    // Returns the parsed message, or sets `error` and returns null.
    virtual Json parse(QString& error) = 0;

private:
    QByteArray m_data;
    QString m_host;
    quint16 m_port = 0;
    KPSocketDataParserDelegate* m_delegate = nullptr;
};
