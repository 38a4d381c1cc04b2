#include "Beamline/KPVistrelRemoteSocketDataParser.h"

#include "Beamline/JsonAccess.h"
#include "Beamline/KPBeamlineProtocol.h"

namespace {

using namespace JsonAccess;

constexpr std::size_t kMaxTextField = 256;

// Reads an optional string member; false when present with the wrong type or too long.
bool optionalString(const Json& object, const char* key, QString& out)
{
    const auto value = string(object, key, kMaxTextField).orIfMissing({});
    if (!value)
        return false;
    out = QString::fromStdString(*value);
    return true;
}

// Checks the members the transmitter reads; unknown members are kept as they are.
QString checkParameters(const Json& p)
{
    for (const char* key : {"controlPort", "configPort"}) {
        if (!integer(p, key, 1, 65535).orIfMissing(1))
            return QStringLiteral("\"%1\" is not a port number").arg(QLatin1String(key));
    }
    for (const char* key : {"maxWidth", "maxHeight"}) {
        if (!integer(p, key, 1, 16384).orIfMissing(1))
            return QStringLiteral("\"%1\" is not a picture size").arg(QLatin1String(key));
    }
    if (!boolean(p, "h264").orIfMissing(false))
        return QStringLiteral("\"h264\" is not a boolean");
    if (!integer(p, "conferenceVersion", 0, 1000000).orIfMissing(0))
        return QStringLiteral("\"conferenceVersion\" is not a version number");
    if (!string(p, "passcode", kMaxTextField).orIfMissing({}))
        return QStringLiteral("\"passcode\" is not a string");
    return {};
}

} // namespace

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
    const auto cmd = string(message, "cmd", kMaxTextField);
    if (!cmd) {
        error = QStringLiteral("no \"cmd\" member");
        return nullptr;
    }
    if (*cmd != "echo")
        return message; // valid, but not a discovery reply

    QString hostName, displayName, deviceModel, vendor, srcvers;
    if (!optionalString(message, "hostName", hostName) || hostName.isEmpty()) {
        error = QStringLiteral("discovery reply without a valid \"hostName\"");
        return nullptr;
    }
    if (!optionalString(message, "displayName", displayName) ||
        !optionalString(message, "deviceModel", deviceModel) || !optionalString(message, "vendor", vendor) ||
        !optionalString(message, "srcvers", srcvers)) {
        error = QStringLiteral("discovery reply with a malformed text field");
        return nullptr;
    }
    const auto protocolVersion = integer(message, "protocolVersion", 0, 1000000).orIfMissing(0);
    if (!protocolVersion) {
        error = QStringLiteral("\"protocolVersion\" is not a version number");
        return nullptr;
    }
    const auto token =
        string(message, "token", std::size_t(KPBeamlineProtocol::kMaxQueryTokenSize)).orIfMissing({});
    if (!token) {
        error = QStringLiteral("\"token\" is not a query token");
        return nullptr;
    }
    Json parameters = Json::object();
    if (const Json* p = member(message, "parameters")) {
        if (!p->is_object()) {
            error = QStringLiteral("\"parameters\" is not an object");
            return nullptr;
        }
        error = checkParameters(*p);
        if (!error.isEmpty())
            return nullptr;
        parameters = *p;
    }

    m_isDiscovery = true;
    m_parameters = std::move(parameters);
    m_hostName = hostName;
    m_displayName = displayName;
    m_deviceModel = deviceModel;
    m_vendor = vendor;
    m_srcvers = srcvers;
    m_protocolVersion = int(*protocolVersion);
    m_token = *token;
    return message;
}

std::optional<QString> KPVistrelRemoteSocketDataParser::passcode() const
{
    if (const auto code = JsonAccess::string(m_parameters, "passcode", kMaxTextField))
        return QString::fromStdString(*code);
    return std::nullopt;
}
