#include "Beamline/KPNetworkDevice.h"

#include "Support/BundleInfo.h"

#include <cmath>

KPNetworkDevice::KPNetworkDevice(KPRemoteHost host, double connectionTimeout)
    : m_host(std::move(host)),
      m_timeout(std::isfinite(connectionTimeout) && connectionTimeout > 0 ? connectionTimeout
                                                                          : kDefaultConnectionTimeout)
{
}

QString KPPrototypeDevice::vendorStringFromPlist()
{
    const QString vendor = BundleInfo::main().stringValue(QStringLiteral("BeamlineVendor"));
    return vendor.isEmpty() ? QStringLiteral("vistrel") : vendor;
}
