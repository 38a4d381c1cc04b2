#include "Beamline/KPRemoteCommandGenerator.h"

#include "Beamline/JsonAccess.h"
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPJSONRPC.h"
#include "Beamline/KPRemoteHost.h"

#include <QRandomGenerator>

std::string KPRemoteCommandGenerator::newQueryToken()
{
    static const char digits[] = "0123456789abcdef";
    std::string token(KPBeamlineProtocol::kQueryTokenLength, '0');
    quint64 bits = 0;
    for (int i = 0; i < KPBeamlineProtocol::kQueryTokenLength; ++i) {
        if (i % 16 == 0)
            bits = QRandomGenerator::system()->generate64();
        token[std::size_t(i)] = digits[bits & 0xF];
        bits >>= 4;
    }
    return token;
}

QByteArray KPRemoteCommandGenerator::commandGetEcho(const std::string& token) const
{
    Json query{{"cmd", "getEcho"}, {"protocolVersion", KPBeamlineProtocol::kProtocolVersion}};
    if (!token.empty())
        query["token"] = token;
    return QByteArray::fromStdString(query.dump());
}

QByteArray KPRemoteCommandGenerator::commandEchoReply(const KPRemoteHost& host,
                                                      const std::string& token) const
{
    Json reply = host.toJson();
    if (!token.empty())
        reply["token"] = token;
    return QByteArray::fromStdString(reply.dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::optional<std::string> KPRemoteCommandGenerator::parseEchoCommand(QByteArrayView datagram)
{
    if (datagram.isEmpty() || datagram.size() > KPBeamlineProtocol::kMaxEchoDatagramSize)
        return std::nullopt;
    const Json query = Json::parse(datagram.begin(), datagram.end(), nullptr, false);
    const auto cmd = JsonAccess::string(query, "cmd", 64);
    if (!cmd || *cmd != "getEcho")
        return std::nullopt;
    const auto token = JsonAccess::string(query, "token", std::size_t(KPBeamlineProtocol::kMaxQueryTokenSize))
                           .orIfMissing({});
    if (!token)
        return std::nullopt;
    return *token;
}
