#pragma once

// A receiver found by discovery or named by address. Concrete kinds: KPGenericDevice (the
// receivers this application pairs with) and KPScreenDevice (plain screen receivers).

#include "Beamline/KPRemoteHost.h"

#include <QSize>
#include <QString>

class KPPrototypeDevice
{
public:
    virtual ~KPPrototypeDevice() = default;

    virtual QString hostName() const = 0;
    virtual QString displayName() const = 0;
    virtual QString ipAddress() const = 0;

    // The receiver record this device was made from (address, control port, capabilities).
    // The default describes only the name and the address.
    virtual KPRemoteHost remoteHost() const
    {
        KPRemoteHost host;
        host.setHostName(hostName());
        host.setDisplayName(displayName());
        host.setIpAddress(ipAddress());
        return host;
    }
    // Seconds a connection attempt may take, hello exchange included.
    virtual double connectionTimeout() const { return 3.0; }

    // The receiver vendor this build pairs with: the bundle information's "BeamlineVendor",
    // else "vistrel".
    static QString vendorStringFromPlist();
};

// Devices that stream pictures and can say their largest picture size.
class KPPrototypeImageStreamingProtocol
{
public:
    virtual ~KPPrototypeImageStreamingProtocol() = default;
    virtual QSize getMaxResolution() const = 0;
};
