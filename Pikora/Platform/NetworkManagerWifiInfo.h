#pragma once

#include "Pikora/Platform/WifiNetworkInfo.h"

#include <QDBusConnection>

// The current Wi-Fi network from NetworkManager on the system bus: the access point of the
// active wireless connection (the primary connection first, then the other active ones),
// whose Ssid is the network name. Empty without a system bus, without NetworkManager or
// without an associated wireless device. All D-Bus calls of one query share one deadline,
// so a query never blocks longer than `timeoutMs` however many objects it reads.
class NetworkManagerWifiInfo : public WifiNetworkInfo
{
public:
    static constexpr int kDefaultTimeoutMs = 500;

    NetworkManagerWifiInfo();
    explicit NetworkManagerWifiInfo(QDBusConnection bus, int timeoutMs = kDefaultTimeoutMs);

    QString currentSsid() override;

private:
    QDBusConnection m_bus;
    int m_timeoutMs;
};
