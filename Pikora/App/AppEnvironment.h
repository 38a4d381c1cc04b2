#pragma once

// Everything the application controller reaches outside itself, handed in once so that the
// product wires real implementations and tests wire fakes and loopback peers.

#include "Pikora/Platform/ReachabilityWatcher.h"

#include <QHostAddress>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <memory>

class UserInterface;
class UsbBus;
class RunningApplications;
class PermissionBroker;
class PowerAssertion;
class PointerInjector;
class WifiNetworkInfo;
class KPDeviceController;
class HostControlPolicy;
class LoginItems;

struct AppEnvironment
{
    UserInterface* ui = nullptr;
    UsbBus* usbBus = nullptr;
    RunningApplications* applications = nullptr;
    PermissionBroker* permissionBroker = nullptr;
    PowerAssertion* powerAssertion = nullptr;
    PointerInjector* pointer = nullptr;
    WifiNetworkInfo* wifi = nullptr;
    // The user's login items; null: none (registering the login helper then fails).
    LoginItems* loginItems = nullptr;
    ReachabilityWatcherFactory makeReachability;
    // Null: KPDeviceController::sharedDeviceController().
    KPDeviceController* deviceController = nullptr;
    // A fresh host-control policy per receiver connection (the product: HostControlPolicyExecuter);
    // empty: none, the controller then skips host control.
    std::function<std::shared_ptr<HostControlPolicy>()> makeHostControlPolicy;

    // The accessory in network mode.
    QString accessoryHost = QStringLiteral("192.168.204.1");
    std::uint16_t accessoryPort = 53630;
    // Receiver discovery: empty targets = broadcast; port 0 = the receivers' standard port.
    QList<QHostAddress> scanTargets;
    std::uint16_t discoveryPort = 0;

    // Start-up checks.
    QStringList conflictingDriverPaths = {QStringLiteral("/System/Library/Extensions/HoRNDIS.kext"),
                                          QStringLiteral("/Library/Extensions/HoRNDIS.kext")};
    QUrl driverInstructionsUrl = QUrl(QStringLiteral("https://github.com/jwise/HoRNDIS#uninstalling"));
    std::function<void()> terminate;

    // Geometry of the main screen in its own coordinates (the pointer's space) and the
    // main display's identifier; empty functions mean no screen.
    std::function<QSize()> mainScreenSize;
    std::function<std::uint32_t()> mainDisplayId;
};
