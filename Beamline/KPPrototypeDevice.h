#pragma once

// A receiver found by discovery or named by address. Concrete kinds: KPGenericDevice (the
// receivers this application pairs with) and KPScreenDevice (plain screen receivers).

#include <QSize>
#include <QString>

class KPPrototypeDevice
{
public:
    virtual ~KPPrototypeDevice() = default;

    virtual QString hostName() const = 0;
    virtual QString displayName() const = 0;
    virtual QString ipAddress() const = 0;
};

// Devices that stream pictures and can say their largest picture size.
class KPPrototypeImageStreamingProtocol
{
public:
    virtual ~KPPrototypeImageStreamingProtocol() = default;
    virtual QSize getMaxResolution() const = 0;
};
