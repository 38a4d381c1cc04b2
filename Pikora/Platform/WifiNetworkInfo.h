#pragma once

#include <QString>

// The Wi-Fi network this machine is on.
class WifiNetworkInfo
{
public:
    virtual ~WifiNetworkInfo() = default;

    // The SSID of the Wi-Fi network in use, empty when there is none or it cannot be known
    // (no wireless device, not associated, no network service). Never blocks for long.
    virtual QString currentSsid() = 0;
};
