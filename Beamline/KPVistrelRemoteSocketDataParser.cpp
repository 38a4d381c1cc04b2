#include "Beamline/KPVistrelRemoteSocketDataParser.h"

#include "Beamline/JsonAccess.h"
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPReceiverDescription.h"

using namespace JsonAccess;

bool KPVistrelRemoteSocketDataParser::parseNow(QString* error)
{
    QString e;
    const bool ok = !parse(e).is_null();
    if (error)
        *error = e;
    return ok;
}

Json KPVistrelRemoteSocketDataParser::parse(QString& error)
{
    m_isDiscovery = false;
    const QByteArray& data = dataToParse();
    if (data.isEmpty()) {
        error = QStringLiteral("empty datagram");
        return nullptr;
    }
    if (data.size() > KPBeamlineProtocol::kMaxDiscoveryDatagramSize) {
        error = QStringLiteral("datagram of %1 bytes is larger than %2")
                    .arg(data.size())
                    .arg(KPBeamlineProtocol::kMaxDiscoveryDatagramSize);
        return nullptr;
    }
    Json message = Json::parse(data.begin(), data.end(), nullptr, false);
    if (message.is_discarded()) {
        error = QStringLiteral("not JSON");
        return nullptr;
    }
    if (!message.is_object()) {
        error = QStringLiteral("not a JSON object");
        return nullptr;
    }
    const auto cmd = string(message, "cmd", KPReceiverDescription::kMaxTextField);
    if (!cmd) {
        error = QStringLiteral("no \"cmd\" member");
        return nullptr;
    }
    if (*cmd != "echo")
        return message; // valid, but not a discovery reply

    const auto token =
        string(message, "token", std::size_t(KPBeamlineProtocol::kMaxQueryTokenSize)).orIfMissing({});
    if (!token) {
        error = QStringLiteral("\"token\" is not a query token");
        return nullptr;
    }
    QString descriptionError;
    auto description = KPReceiverDescription::read(message, &descriptionError);
    if (!description) {
        error = QStringLiteral("discovery reply: ") + descriptionError;
        return nullptr;
    }

    m_isDiscovery = true;
    m_parameters = std::move(description->parameters);
    m_hostName = description->hostName;
    m_displayName = description->displayName;
    m_deviceModel = description->deviceModel;
    m_vendor = description->vendor;
    m_srcvers = description->srcvers;
    m_protocolVersion = description->protocolVersion;
    m_token = *token;
    return message;
}

std::optional<QString> KPVistrelRemoteSocketDataParser::passcode() const
{
    if (const auto code = JsonAccess::string(m_parameters, "passcode", KPReceiverDescription::kMaxTextField))
        return QString::fromStdString(*code);
    return std::nullopt;
}
