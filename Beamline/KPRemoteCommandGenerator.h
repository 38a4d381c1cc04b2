#pragma once

// Builds and recognises the discovery datagrams: the echo query a sender broadcasts or
// unicasts (with its per-query token), and the reply a receiver sends back (echoing it).

#include <QByteArray>
#include <QByteArrayView>
#include <optional>
#include <string>

class KPRemoteHost;

class KPRemoteCommandGenerator
{
public:
    // A fresh query token: kQueryTokenLength hexadecimal digits from the system's random
    // source, so that nobody who did not see the query can answer it.
    static std::string newQueryToken();

    // The echo query (UTF-8 JSON) carrying `token`.
    QByteArray commandGetEcho(const std::string& token) const;
    // The discovery reply describing `host`, echoing the query's `token` (left out when empty).
    QByteArray commandEchoReply(const KPRemoteHost& host, const std::string& token = {}) const;

    // A well-formed echo query (what a receiver answers): its token, empty when the query
    // carried none. No value for anything else (oversized, not JSON, another command, or a
    // token that is not a string of at most kMaxQueryTokenSize bytes).
    static std::optional<std::string> parseEchoCommand(QByteArrayView datagram);
    static bool isEchoCommand(QByteArrayView datagram) { return parseEchoCommand(datagram).has_value(); }
};
