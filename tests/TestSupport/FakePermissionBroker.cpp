#include "tests/TestSupport/FakePermissionBroker.h"

#include <utility>

FakePermissionBroker::FakePermissionBroker(QString ownBundleIdentifier)
    : m_ownBundleIdentifier(std::move(ownBundleIdentifier))
{
}

bool FakePermissionBroker::start()
{
    ++m_startCount;
    m_listening = m_available;
    return m_listening;
}

std::optional<bool> FakePermissionBroker::deliverNotification(const QString& name, const QString& object)
{
    if (!m_listening || object != QLatin1String(kReceiverApplicationIdentifier) ||
        name != QLatin1String(kRequestName))
        return std::nullopt;
    const bool isAllow = m_isAllow ? m_isAllow() : false;
    m_replies.append({m_ownBundleIdentifier, isAllow});
    return isAllow;
}

std::optional<bool> FakePermissionBroker::deliverRequest()
{
    return deliverNotification(QString::fromLatin1(kRequestName),
                               QString::fromLatin1(kReceiverApplicationIdentifier));
}
