#pragma once

// Common implementation of the receiver devices: an immutable receiver record plus the
// connection timeout. KPGenericDevice and KPScreenDevice add their capability names.

#include "Beamline/KPPrototypeDevice.h"

class KPNetworkDevice : public KPPrototypeDevice, public KPPrototypeImageStreamingProtocol
{
public:
    static constexpr double kDefaultConnectionTimeout = 3.0;

    explicit KPNetworkDevice(KPRemoteHost host, double connectionTimeout = kDefaultConnectionTimeout);

    QString hostName() const override { return m_host.hostName(); }
    QString displayName() const override { return m_host.displayName(); }
    QString ipAddress() const override { return m_host.ipAddress(); }
    KPRemoteHost remoteHost() const override { return m_host; }
    double connectionTimeout() const override { return m_timeout; }

    QSize getMaxResolution() const override { return m_host.maxResolution(); }
    QString deviceModel() const { return m_host.deviceModel(); }
    QString vendor() const { return m_host.vendor(); }
    quint16 controlPort() const { return m_host.controlPort(); }
    int conferenceVersion() const { return m_host.conferenceVersion(); }
    std::optional<QString> passcode() const { return m_host.passcode(); }

protected:
    KPRemoteHost m_host;
    double m_timeout;
};
