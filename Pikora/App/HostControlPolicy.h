#pragma once

// The slot the application controller keeps for the receiver's conference host-control
// policy. A fresh policy object is made on every successful receiver connection and becomes
// the transmitter's host-control delegate; the controller asks it only the two questions
// below. The policy itself is built by the host-control module; until one is installed
// through AppEnvironment::makeHostControlPolicy the slot stays empty and those questions
// have their "nothing waiting" answers.

#include "Beamline/KPDataTransmitterHostControlDelegate.h"

class HostControlPolicy : public KPDataTransmitterHostControlDelegate
{
public:
    // Forgets every waiting guest request and any role-related state.
    virtual void resetHostControlSetting() = 0;
    // True while this machine, as a guest, waits for the receiver's host to answer.
    virtual bool isQueryingHost() const = 0;
};
