#pragma once

// The receivers this application pairs with.

#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPNetworkDevice.h"

#include <memory>

class KPGenericDevice : public KPNetworkDevice
{
public:
    using KPNetworkDevice::KPNetworkDevice;

    // A device known only by address and name (no discovery reply): connecting to it learns
    // the rest from the receiver's hello answer. `controlPort` is the receiver's TCP control
    // port (the product's default unless a test or a discovery reply says otherwise).
    static std::shared_ptr<KPGenericDevice>
    vistrelproDeviceFromIP(const QString& ip, const QString& hostname, double connectionTimeout,
                           quint16 controlPort = KPBeamlineProtocol::kDefaultControlPort);

    // The receiver decodes H.264.
    bool isVistrelEncodeProEnable() const { return m_host.supportsH264(); }
};
