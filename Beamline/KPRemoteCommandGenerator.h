#pragma once

// Builds the discovery datagrams: the echo query a sender broadcasts or unicasts, and the
// reply a receiver sends back.

#include <QByteArray>
#include <QByteArrayView>

class KPRemoteHost;

class KPRemoteCommandGenerator
{
public:
    // The echo query (UTF-8 JSON).
    QByteArray commandGetEcho() const;
    // The discovery reply describing `host`.
    QByteArray commandEchoReply(const KPRemoteHost& host) const;

    // True for a well-formed echo query (what a receiver answers).
    static bool isEchoCommand(QByteArrayView datagram);
};
