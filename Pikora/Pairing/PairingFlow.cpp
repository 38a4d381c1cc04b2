#include "Pikora/Pairing/PairingFlow.h"

#include "Pikora/Pairing/HostResolver.h"
#include "Pikora/Pairing/Ipv4Address.h"
#include "Pikora/Pairing/PairingHost.h"
#include "Pikora/Pairing/PairingLogging.h"
#include "Pikora/Pairing/QHostInfoResolver.h"
#include "Pikora/Pairing/ReceiverMatcher.h"

#include <QPointer>

PairingFlow::PairingFlow(PairingHost& host, std::shared_ptr<HostResolver> resolver, Options options,
                         QObject* parent)
    : QObject(parent), m_host(host),
      m_resolver(resolver ? std::move(resolver) : std::make_shared<QHostInfoResolver>()),
      m_fetcher(new PikoraConfigFetcher(options.fetch, this))
{
}

PairingFlow::~PairingFlow() = default;

void PairingFlow::tryPairing(const QString& userInput)
{
    // Blanks around a pasted name or address are not part of it.
    const QString input = userInput.trimmed();
    if (const std::optional<QString> address = Ipv4Address::normalized(input)) {
        pairWithAddress(*address);
        return;
    }
    if (input.isEmpty()) {
        fail(QString(), tr("Pairing failed"), Outcome::Result::NoAddress);
        return;
    }
    m_resolver->lookupIPv4(input, this, [this, input](std::optional<QString> resolved) {
        if (resolved) {
            if (const std::optional<QString> address = Ipv4Address::normalized(*resolved)) {
                qCInfo(lcPairing).noquote() << input << "resolves to" << *address;
                pairWithAddress(*address);
                return;
            }
        }
        const std::optional<QString> chosen = ReceiverMatcher::addressFor(input, m_host.discoveredDevices());
        // A discovered receiver's address comes from the network: it must make a valid URL.
        const std::optional<QString> address = chosen ? Ipv4Address::normalized(*chosen) : std::nullopt;
        if (!address) {
            if (chosen)
                qCWarning(lcPairing).noquote() << "the matching receiver's address is not usable:" << *chosen;
            fail(QString(), tr("Pairing failed"), Outcome::Result::NoAddress);
            return;
        }
        pairWithAddress(*address);
    });
}

void PairingFlow::pairWithAddress(const QString& address)
{
    qCInfo(lcPairing).noquote() << "fetching the configuration from" << address;
    QPointer<PairingFlow> self(this);
    m_fetcher->pullPikoraJSON(
        address, [self, address](std::optional<Json> object, std::optional<PairingError> error) {
            if (!self)
                return;
            if (error) {
                self->fail(address, error->localizedDescription, Outcome::Result::Failed);
                return;
            }
            if (!object) {
                emit self->attemptFinished({Outcome::Result::NothingToWrite, address, QString()});
                return;
            }
            qCInfo(lcPairing).noquote() << "pairing with the receiver at" << address;
            self->m_host.writePairingDataToLauncher(*object);
            self->m_host.pairingDidComplete();
            emit self->paired();
            emit self->attemptFinished({Outcome::Result::Paired, address, QString()});
        });
}

void PairingFlow::fail(const QString& address, const QString& message, Outcome::Result result)
{
    qCInfo(lcPairing).noquote() << "pairing failed:" << message;
    // The outcome goes out first: the alert below runs a modal loop until it is answered.
    emit attemptFinished({result, address, message});
    m_host.showUserNotification(message);
    m_host.showOKAlertWithQuestion(tr("Error"), message);
}
