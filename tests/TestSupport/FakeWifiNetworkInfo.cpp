#include "tests/TestSupport/FakeWifiNetworkInfo.h"

#include <utility>

FakeWifiNetworkInfo::FakeWifiNetworkInfo(QString ssid) : m_ssid(std::move(ssid)) {}

void FakeWifiNetworkInfo::setSsid(const QString& ssid)
{
    std::lock_guard lock(m_mutex);
    m_ssid = ssid;
}

int FakeWifiNetworkInfo::queryCount() const
{
    std::lock_guard lock(m_mutex);
    return m_queries;
}

QString FakeWifiNetworkInfo::currentSsid()
{
    std::lock_guard lock(m_mutex);
    ++m_queries;
    return m_ssid;
}
