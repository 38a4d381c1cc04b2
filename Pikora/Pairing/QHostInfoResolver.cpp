#include "Pikora/Pairing/QHostInfoResolver.h"

#include "Pikora/Pairing/PairingLogging.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QTimer>
#include <memory>

QHostInfoResolver::QHostInfoResolver(int timeoutMs)
    : m_timeoutMs(timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs)
{
}

void QHostInfoResolver::lookupIPv4(const QString& name, QObject* context, Completion completion)
{
    // The lookup's answer and the time limit race; whichever comes first completes.
    struct State
    {
        Completion completion;
        int lookupId = -1;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    state->completion = std::move(completion);
    auto finish = [state](std::optional<QString> address) {
        if (state->done)
            return;
        state->done = true;
        Completion completion = std::move(state->completion);
        completion(std::move(address));
    };

    auto* timer = new QTimer(context);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, context, [state, finish, timer, name] {
        if (!state->done) {
            qCInfo(lcPairing).noquote() << "resolving" << name << "timed out";
            if (state->lookupId >= 0)
                QHostInfo::abortHostLookup(state->lookupId);
        }
        finish(std::nullopt);
        timer->deleteLater();
    });
    timer->start(m_timeoutMs);

    QPointer<QTimer> guard(timer);
    state->lookupId = QHostInfo::lookupHost(name, context, [finish, guard](const QHostInfo& info) {
        if (guard)
            guard->deleteLater();
        for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                finish(address.toString());
                return;
            }
        }
        finish(std::nullopt);
    });
}
