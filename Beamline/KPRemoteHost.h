#pragma once

// A receiver as described by its discovery reply (or by the hello answer on the control
// link, which carries the same fields). A plain value: copy it freely.

#include "Beamline/KPJSONRPC.h"

#include <QSize>
#include <QString>
#include <optional>

class KPDeviceScanner;

class KPRemoteHost
{
public:
    explicit KPRemoteHost(KPDeviceScanner* scanner = nullptr) : m_scanner(scanner) {}

    KPDeviceScanner* scanner() const { return m_scanner; }

    // The reply's "parameters" object (always an object; empty when the reply had none).
    const Json& parameters() const { return m_parameters; }
    void setParameters(Json parameters);
    // IPv4 source address of the reply, as text.
    const QString& ipAddress() const { return m_ipAddress; }
    void setIpAddress(const QString& v) { m_ipAddress = v; }
    const QString& deviceModel() const { return m_deviceModel; }
    void setDeviceModel(const QString& v) { m_deviceModel = v; }
    const QString& vendor() const { return m_vendor; }
    void setVendor(const QString& v) { m_vendor = v; }
    const QString& hostName() const { return m_hostName; }
    void setHostName(const QString& v) { m_hostName = v; }
    // Falls back to the host name when the reply named no display name.
    QString displayName() const { return m_displayName.isEmpty() ? m_hostName : m_displayName; }
    void setDisplayName(const QString& v) { m_displayName = v; }
    const QString& srcvers() const { return m_srcvers; }
    void setSrcvers(const QString& v) { m_srcvers = v; }
    int protocolVersion() const { return m_protocolVersion; }
    void setProtocolVersion(int v) { m_protocolVersion = v; }
    // The "passcode" parameter; no value when the reply had none.
    const std::optional<QString>& passcode() const { return m_passcode; }
    void setPasscode(std::optional<QString> v) { m_passcode = std::move(v); }

    // Values read from the parameters, with the protocol's defaults when absent.
    quint16 controlPort() const;
    bool supportsH264() const;
    QSize maxResolution() const; // 0x0 when the receiver did not say
    int conferenceVersion() const;
    quint16 configPort() const;

    // The discovery-reply JSON object for this record (used by receivers to answer).
    Json toJson() const;

private:
    KPDeviceScanner* m_scanner = nullptr;
    Json m_parameters = Json::object();
    QString m_ipAddress;
    QString m_deviceModel;
    QString m_vendor;
    QString m_hostName;
    QString m_displayName;
    QString m_srcvers;
    int m_protocolVersion = 0;
    std::optional<QString> m_passcode;
};
