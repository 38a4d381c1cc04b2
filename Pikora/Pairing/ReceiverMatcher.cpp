#include "Pikora/Pairing/ReceiverMatcher.h"

#include "Beamline/KPPrototypeDevice.h"
#include "Pikora/Pairing/PairingLogging.h"

namespace ReceiverMatcher {

std::optional<QString> addressFor(const QString& input,
                                  const QList<std::shared_ptr<KPPrototypeDevice>>& receivers)
{
    if (input.isEmpty())
        return std::nullopt;
    const QString lowerInput = input.toLower();
    const QString preferred = QLatin1String(kPreferredAddress);
    std::optional<QString> chosen;

    for (const std::shared_ptr<KPPrototypeDevice>& receiver : receivers) {
        if (!receiver)
            continue;
        const QString hostName = receiver->hostName();
        const QString displayName = receiver->displayName();
        qCInfo(lcPairing).noquote() << QStringLiteral("\"iterate->  %1(%2)\"")
                                           .arg(hostName.isEmpty() ? QStringLiteral("NULL_HOSTNAME")
                                                                   : hostName,
                                                displayName.isEmpty() ? QStringLiteral("NULL_DISPLAYNAME")
                                                                      : displayName);
        if (hostName.isEmpty() || displayName.isEmpty() || hostName.size() < kTailLength)
            continue;

        const QString tail = hostName.right(kTailLength).toLower();
        const bool matches =
            displayName.compare(input, Qt::CaseInsensitive) == 0 || lowerInput.contains(tail);
        if (!matches)
            continue;

        const QString address = receiver->ipAddress();
        qCInfo(lcPairing).noquote() << "We got what we want for display name:"
                                    << QStringLiteral("%1 (%2) at %3").arg(displayName, hostName, address);
        if (!chosen) {
            if (!address.isEmpty())
                chosen = address;
        } else if (address == preferred) {
            chosen = preferred;
            break;
        }
    }
    return chosen;
}

} // namespace ReceiverMatcher
