#pragma once

#include "Pikora/Platform/WifiNetworkInfo.h"

#include <mutex>

// A Wi-Fi network for tests: whatever SSID the test sets (empty: not on Wi-Fi).
class FakeWifiNetworkInfo : public WifiNetworkInfo
{
public:
    explicit FakeWifiNetworkInfo(QString ssid = {});

    void setSsid(const QString& ssid);
    int queryCount() const;

    QString currentSsid() override;

private:
    mutable std::mutex m_mutex;
    QString m_ssid;
    int m_queries = 0;
};
