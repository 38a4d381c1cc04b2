#include "Beamline/KPVistrelRemoteSocketDataParser.h"

#include "Beamline/KPBeamlineProtocol.h"

namespace {

constexpr std::size_t kMaxTextField = 256;

// Reads an optional string member; false when present with the wrong type or too long.
bool optionalString(const Json& object, const char* key, QString& out)
{
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        out.clear();
        return true;
    }
    if (!it->is_string() || it->get_ref<const std::string&>().size() > kMaxTextField)
        return false;
    out = QString::fromStdString(it->get<std::string>());
    return true;
}

bool validPort(const Json& v)
{
    return v.is_number_integer() && v.get<long long>() > 0 && v.get<long long>() <= 65535;
}

bool validDimension(const Json& v)
{
    return v.is_number_integer() && v.get<long long>() > 0 && v.get<long long>() <= 16384;
}

// Checks the members the transmitter reads; unknown members are kept as they are.
QString checkParameters(const Json& p)
{
    if (!p.is_object())
        return QStringLiteral("\"parameters\" is not an object");
    for (const char* key : {"controlPort", "configPort"}) {
        auto it = p.find(key);
        if (it != p.end() && !validPort(*it))
            return QStringLiteral("\"%1\" is not a port number").arg(QLatin1String(key));
    }
    for (const char* key : {"maxWidth", "maxHeight"}) {
        auto it = p.find(key);
        if (it != p.end() && !validDimension(*it))
            return QStringLiteral("\"%1\" is not a picture size").arg(QLatin1String(key));
    }
    if (auto it = p.find("h264"); it != p.end() && !it->is_boolean())
        return QStringLiteral("\"h264\" is not a boolean");
    if (auto it = p.find("conferenceVersion"); it != p.end() && !it->is_number_integer())
        return QStringLiteral("\"conferenceVersion\" is not an integer");
    if (auto it = p.find("passcode"); it != p.end() && !it->is_string() && !it->is_null())
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
    Json message;
    try {
        message = Json::parse(data.begin(), data.end());
    } catch (const Json::exception& e) {
        error = QStringLiteral("not JSON: %1").arg(QString::fromUtf8(e.what()));
        return nullptr;
    }
    if (!message.is_object()) {
        error = QStringLiteral("not a JSON object");
        return nullptr;
    }
    auto cmd = message.find("cmd");
    if (cmd == message.end() || !cmd->is_string()) {
        error = QStringLiteral("no \"cmd\" member");
        return nullptr;
    }
    if (cmd->get<std::string>() != "echo")
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
    int protocolVersion = 0;
    if (auto it = message.find("protocolVersion"); it != message.end()) {
        if (!it->is_number_integer() || it->get<long long>() < 0 || it->get<long long>() > 1000000) {
            error = QStringLiteral("\"protocolVersion\" is not a version number");
            return nullptr;
        }
        protocolVersion = it->get<int>();
    }
    Json parameters = Json::object();
    if (auto it = message.find("parameters"); it != message.end()) {
        error = checkParameters(*it);
        if (!error.isEmpty())
            return nullptr;
        parameters = *it;
    }

    m_isDiscovery = true;
    m_parameters = std::move(parameters);
    m_hostName = hostName;
    m_displayName = displayName;
    m_deviceModel = deviceModel;
    m_vendor = vendor;
    m_srcvers = srcvers;
    m_protocolVersion = protocolVersion;
    return message;
}
