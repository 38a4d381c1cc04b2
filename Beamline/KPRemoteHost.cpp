#include "Beamline/KPRemoteHost.h"

#include "Beamline/JsonAccess.h"
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPReceiverDescription.h"

namespace {

// An integer parameter within [min, max] (checked on the full 64-bit value, so nothing is
// truncated); `fallback` when absent, of another type or out of range.
int intParameter(const Json& parameters, const char* key, int min, int max, int fallback)
{
    const auto read = JsonAccess::integer(parameters, key, min, max);
    return read ? int(*read) : fallback;
}

} // namespace

void KPRemoteHost::setParameters(Json parameters)
{
    m_parameters = parameters.is_object() ? std::move(parameters) : Json::object();
}

quint16 KPRemoteHost::controlPort() const
{
    return quint16(
        intParameter(m_parameters, "controlPort", 1, 65535, KPBeamlineProtocol::kDefaultControlPort));
}

bool KPRemoteHost::supportsH264() const
{
    return JsonAccess::boolean(m_parameters, "h264").orIfMissing(false).value_or(false);
}

QSize KPRemoteHost::maxResolution() const
{
    constexpr int kMax = int(KPReceiverDescription::kMaxPictureSide);
    const int w = intParameter(m_parameters, "maxWidth", 1, kMax, 0);
    const int h = intParameter(m_parameters, "maxHeight", 1, kMax, 0);
    if (w <= 0 || h <= 0)
        return QSize(0, 0);
    return QSize(w, h);
}

int KPRemoteHost::conferenceVersion() const
{
    return intParameter(m_parameters, "conferenceVersion", 0,
                        int(KPReceiverDescription::kMaxConferenceVersion), 0);
}

quint16 KPRemoteHost::configPort() const
{
    return quint16(
        intParameter(m_parameters, "configPort", 1, 65535, KPBeamlineProtocol::kDefaultConfigPort));
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
