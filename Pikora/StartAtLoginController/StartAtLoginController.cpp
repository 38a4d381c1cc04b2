#include "Pikora/StartAtLoginController/StartAtLoginController.h"

#include "Pikora/StartAtLoginController/LoginItems.h"
#include "Pikora/StartAtLoginController/StartAtLoginLogging.h"

StartAtLoginController::StartAtLoginController(LoginItems* items, const QString& identifier, QObject* parent)
    : QObject(parent), m_items(items)
{
    setIdentifier(identifier);
}

void StartAtLoginController::setIdentifier(const QString& identifier)
{
    m_identifier = identifier;
    startAtLogin();
    qCInfo(lcStartAtLogin).noquote() << QStringLiteral("Launcher '%1' %2 configured to start at login")
                                            .arg(m_identifier,
                                                 m_enabled ? QStringLiteral("is") : QStringLiteral("is not"));
}

void StartAtLoginController::setEnabled(bool enabled)
{
    setStartAtLogin(enabled);
}

bool StartAtLoginController::startAtLogin()
{
    if (m_identifier.isEmpty())
        return false;
    bool state = false;
    if (m_items) {
        for (const LoginItems::Job& job : m_items->jobDictionaries()) {
            if (job.label == m_identifier) {
                state = job.onDemand;
                break;
            }
        }
    }
    if (state != m_enabled) {
        const QString key = QLatin1String(kEnabledKey);
        emit willChangeValueForKey(key);
        m_enabled = state;
        emit didChangeValueForKey(key);
    }
    return state;
}

void StartAtLoginController::setStartAtLogin(bool startAtLogin)
{
    if (m_identifier.isEmpty())
        return;
    const QString enabledKey = QLatin1String(kEnabledKey);
    const QString startAtLoginKey = QLatin1String(kStartAtLoginKey);
    emit willChangeValueForKey(startAtLoginKey);
    const bool done = m_items && m_items->setLoginItemEnabled(m_identifier, startAtLogin);
    if (!done)
        qCWarning(lcStartAtLogin) << "SMLoginItemSetEnabled failed!";
    emit willChangeValueForKey(enabledKey);
    m_enabled = done ? startAtLogin : false;
    emit didChangeValueForKey(enabledKey);
    emit didChangeValueForKey(startAtLoginKey);
}
