#include "Beamline/KPGenericDevice.h"

std::shared_ptr<KPGenericDevice> KPGenericDevice::vistrelproDeviceFromIP(const QString& ip,
                                                                         const QString& hostname,
                                                                         double connectionTimeout,
                                                                         quint16 controlPort)
{
    KPRemoteHost host;
    host.setIpAddress(ip);
    host.setHostName(hostname);
    host.setParameters(
        Json{{"controlPort", controlPort == 0 ? KPBeamlineProtocol::kDefaultControlPort : controlPort}});
    return std::make_shared<KPGenericDevice>(std::move(host), connectionTimeout);
}
