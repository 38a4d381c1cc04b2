#pragma once

// Plain screen receivers (no conference features of their own).

#include "Beamline/KPNetworkDevice.h"

class KPScreenDevice : public KPNetworkDevice
{
public:
    using KPNetworkDevice::KPNetworkDevice;

    bool supportH264() const { return m_host.supportsH264(); }
};
