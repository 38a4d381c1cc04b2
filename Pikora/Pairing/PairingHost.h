#pragma once

// What the pairing flow needs from the application: the receivers discovery knows, the
// accessory to write the configuration into, and the user's notices. The application
// controller provides it (AppPairingHost); tests use a recording fake. Called on the main
// thread only.

#include "Beamline/KPJSONRPC.h"

#include <QList>
#include <QString>
#include <memory>

class KPPrototypeDevice;

class PairingHost
{
public:
    virtual ~PairingHost() = default;

    // The receivers discovery currently knows, in discovery order.
    virtual QList<std::shared_ptr<KPPrototypeDevice>> discoveredDevices() const = 0;
    // Sends "set-pairing-data" with the object, unchanged, to the accessory.
    virtual void writePairingDataToLauncher(const Json& pairingData) = 0;
    // Asks the accessory again which receiver it is paired with.
    virtual void pairingDidComplete() = 0;
    // A popover notice without an image.
    virtual void showUserNotification(const QString& message) = 0;
    // A modal alert with an OK button.
    virtual void showOKAlertWithQuestion(const QString& question, const QString& text) = 0;
};
