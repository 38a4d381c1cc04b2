#pragma once

// Parses a receiver's discovery datagram. A datagram that is valid JSON but no discovery
// reply (an echo query seen on the same port, for instance) finishes with
// isDiscoveryMessage() false. Oversized, truncated, non-JSON or wrongly shaped datagrams are
// errors. The fields are filled only by a successful discovery reply.

#include "Beamline/KPSocketDataParser.h"

#include <QByteArrayView>
#include <optional>
#include <string>

class KPVistrelRemoteSocketDataParser : public KPSocketDataParser
{
public:
    bool isDiscoveryMessage() const { return m_isDiscovery; }
    const Json& parameters() const { return m_parameters; }
    const QString& deviceModel() const { return m_deviceModel; }
    const QString& vendor() const { return m_vendor; }
    const QString& hostName() const { return m_hostName; }
    const QString& displayName() const { return m_displayName; }
    const QString& srcvers() const { return m_srcvers; }
    int protocolVersion() const { return m_protocolVersion; }
    // The query token the reply echoes (empty when it carried none). The scanners accept a
    // reply only when this is a token they sent recently.
    const std::string& token() const { return m_token; }
    // The passcode parameter, when the reply has one.
    std::optional<QString> passcode() const;

    // Runs the parse synchronously without a delegate; returns false and fills `error` on
    // failure.
    bool parseNow(QString* error = nullptr);

protected:
    Json parse(QString& error) override;

private:
    bool m_isDiscovery = false;
    Json m_parameters = Json::object();
    QString m_deviceModel;
    QString m_vendor;
    QString m_hostName;
    QString m_displayName;
    QString m_srcvers;
    int m_protocolVersion = 0;
    std::string m_token;
};
