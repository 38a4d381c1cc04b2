#pragma once

#include "Pikora/Pairing/PairingHost.h"

class AppDelegate;
class UserInterface;

// The application side of pairing: the application controller writes the accessory and asks
// it again, discovery lists the receivers, the user interface shows the notices.
class AppPairingHost : public PairingHost
{
public:
    // Both must outlive this object.
    AppPairingHost(AppDelegate& controller, UserInterface& ui);

    QList<std::shared_ptr<KPPrototypeDevice>> discoveredDevices() const override;
    void writePairingDataToLauncher(const Json& pairingData) override;
    void pairingDidComplete() override;
    void showUserNotification(const QString& message) override;
    void showOKAlertWithQuestion(const QString& question, const QString& text) override;

private:
    AppDelegate& m_controller;
    UserInterface& m_ui;
};
