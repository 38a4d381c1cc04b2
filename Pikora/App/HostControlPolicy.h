#pragma once

// The slot the application controller keeps for the receiver's conference host-control
// policy. A fresh policy object is made on every successful receiver connection and becomes
// the transmitter's host-control delegate; the controller needs only the two operations
// below. The product installs the host-control module's HostControlPolicyExecuter through
// AppEnvironment::makeHostControlPolicy; without a factory the slot stays empty and the
// controller skips both.

#include "Beamline/KPDataTransmitterHostControlDelegate.h"

class HostControlPolicy : public KPDataTransmitterHostControlDelegate
{
public:
    // Turns both host-control preferences (allow automatically, do not disturb) off again.
    virtual void resetHostControlSetting() = 0;
    // True while this machine, as a guest, waits for the receiver's host to answer.
    virtual bool isQueryingHost() const = 0;
};
