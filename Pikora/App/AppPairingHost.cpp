#include "Pikora/App/AppPairingHost.h"

#include "Pikora/App/AppDelegate.h"
#include "Pikora/App/UserInterface.h"

AppPairingHost::AppPairingHost(AppDelegate& controller, UserInterface& ui)
    : m_controller(controller), m_ui(ui)
{
}

QList<std::shared_ptr<KPPrototypeDevice>> AppPairingHost::discoveredDevices() const
{
    return m_controller.deviceController().discoveredDevices();
}

void AppPairingHost::writePairingDataToLauncher(const Json& pairingData)
{
    m_controller.writePairingDataToLauncher(pairingData);
}

void AppPairingHost::pairingDidComplete()
{
    m_controller.pairingDidComplete();
}

void AppPairingHost::showUserNotification(const QString& message)
{
    m_ui.showUserNotification(message, QString());
}

void AppPairingHost::showOKAlertWithQuestion(const QString& question, const QString& text)
{
    m_ui.showOKAlertWithQuestion(question, text);
}
