#include "Beamline/KPRemoteCommandGenerator.h"

#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPJSONRPC.h"
#include "Beamline/KPRemoteHost.h"

QByteArray KPRemoteCommandGenerator::commandGetEcho() const
{
    const Json query{{"cmd", "getEcho"}, {"protocolVersion", KPBeamlineProtocol::kProtocolVersion}};
    return QByteArray::fromStdString(query.dump());
}

QByteArray KPRemoteCommandGenerator::commandEchoReply(const KPRemoteHost& host) const
{
    return QByteArray::fromStdString(host.toJson().dump());
}

bool KPRemoteCommandGenerator::isEchoCommand(QByteArrayView datagram)
{
    if (datagram.isEmpty() || datagram.size() > KPBeamlineProtocol::kMaxEchoDatagramSize)
        return false;
    const Json query = Json::parse(datagram.begin(), datagram.end(), nullptr, false);
    if (!query.is_object())
        return false;
    auto cmd = query.find("cmd");
    return cmd != query.end() && cmd->is_string() && cmd->get<std::string>() == "getEcho";
}
