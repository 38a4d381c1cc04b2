#include "Beamline/KPRemoteHost.h"

#include "Beamline/KPBeamlineProtocol.h"

namespace {

int intParameter(const Json& parameters, const char* key, int fallback)
{
    auto it = parameters.find(key);
    if (it == parameters.end() || !it->is_number_integer())
        return fallback;
    return it->get<int>();
}

} // namespace

void KPRemoteHost::setParameters(Json parameters)
{
    m_parameters = parameters.is_object() ? std::move(parameters) : Json::object();
}

quint16 KPRemoteHost::controlPort() const
{
    const int port = intParameter(m_parameters, "controlPort", KPBeamlineProtocol::kDefaultControlPort);
    return port > 0 && port <= 65535 ? quint16(port) : KPBeamlineProtocol::kDefaultControlPort;
}

bool KPRemoteHost::supportsH264() const
{
    auto it = m_parameters.find("h264");
    return it != m_parameters.end() && it->is_boolean() && it->get<bool>();
}

QSize KPRemoteHost::maxResolution() const
{
    const int w = intParameter(m_parameters, "maxWidth", 0);
    const int h = intParameter(m_parameters, "maxHeight", 0);
    if (w <= 0 || h <= 0)
        return QSize(0, 0);
    return QSize(w, h);
}

int KPRemoteHost::conferenceVersion() const
{
    return intParameter(m_parameters, "conferenceVersion", 0);
}

quint16 KPRemoteHost::configPort() const
{
    const int port = intParameter(m_parameters, "configPort", KPBeamlineProtocol::kDefaultConfigPort);
    return port > 0 && port <= 65535 ? quint16(port) : KPBeamlineProtocol::kDefaultConfigPort;
}

Json KPRemoteHost::toJson() const
{
    Json parameters = m_parameters;
    if (m_passcode)
        parameters["passcode"] = m_passcode->toStdString();
    else
        parameters.erase("passcode");
    return Json{{"cmd", "echo"},
                {"hostName", m_hostName.toStdString()},
                {"displayName", displayName().toStdString()},
                {"deviceModel", m_deviceModel.toStdString()},
                {"vendor", m_vendor.toStdString()},
                {"srcvers", m_srcvers.toStdString()},
                {"protocolVersion", m_protocolVersion},
                {"parameters", parameters}};
}
