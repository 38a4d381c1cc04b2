// Finding the paired receiver and connecting to it: by discovery first (matching the host
// name, then the Wi-Fi names), then by a direct query of its address; telling the user what
// to check when nothing answers.
#include "Beamline/KPGenericDevice.h"
#include "Beamline/KPGenericDeviceScanner.h"
#include "Beamline/KPRemoteHost.h"
#include "Pikora/App/AppDelegate.h"
#include "Pikora/App/AppLogging.h"
#include "Pikora/App/HostControlPolicy.h"
#include "Pikora/App/UserInterface.h"
#include "Pikora/Discovery/UnicastRemoteHostScanner.h"
#include "Pikora/Platform/ReachabilityWatcher.h"
#include "Pikora/Platform/WifiNetworkInfo.h"
#include "Support/DispatchQueue.h"

#include <QTimer>

namespace {

QString describe(const std::shared_ptr<KPPrototypeDevice>& device)
{
    if (!device)
        return QStringLiteral("(no device)");
    return QStringLiteral("%1 (%2, %3)").arg(device->displayName(), device->hostName(), device->ipAddress());
}

} // namespace

void AppDelegate::setupDeviceController()
{
    KPDeviceController& controller = deviceController();
    const QString vendor = KPGenericDeviceScanner::vendorStringFromPlist();
    KPDevicePredicate predicate = vendor == QLatin1String("vistrel")
                                      ? KPGenericDeviceScanner::vistrelProPredicate()
                                      : KPGenericDeviceScanner::vistrelProPredicate(vendor);
    controller.registerScanner<KPGenericDeviceScanner, KPGenericDeviceDataTransmitter, KPGenericDevice>(
        std::move(predicate));
    if (!m_env.scanTargets.isEmpty()) {
        QList<KPScanTarget> targets;
        for (const QHostAddress& address : m_env.scanTargets)
            targets.append(KPScanTarget{address, m_env.discoveryPort});
        controller.setScanTargets(targets);
    }
    controller.setDelegate(this);
}

void AppDelegate::StartRemoteHostServiceConnectingProcess(Completion completion)
{
    if (m_isConnecting) {
        qCInfo(lcApp) << "already connecting...";
        return;
    }
    m_isConnecting = true;
    KPDeviceController& controller = deviceController();
    controller.stopScan();
    controller.startScan();

    QPointer<AppDelegate> weak(this);
    QTimer::singleShot(kDiscoveryWaitMs, this, [weak, completion = std::move(completion)]() mutable {
        if (!weak)
            return;
        AppDelegate& self = *weak;
        std::shared_ptr<KPPrototypeDevice> found;
        for (const auto& device : self.deviceController().discoveredDevices()) {
            if (device->hostName() == self.m_targetHostname) {
                found = device;
                break;
            }
            if (self.m_targetSSIDs.contains(device->hostName())) {
                qCInfo(lcApp).noquote() << QStringLiteral("workaround target: %1").arg(describe(device));
                self.m_targetHostname = device->hostName();
                found = device;
                break;
            }
        }
        if (!found) {
            self.connectToHostname(self.m_targetHostname, self.targetIP(), self.m_targetSSIDs,
                                   std::move(completion));
            return;
        }
        self.connectTo(found, [weak, completion](bool success, std::optional<KPError>) {
            if (!weak)
                return;
            if (success) {
                if (completion)
                    completion(true, std::nullopt);
                return;
            }
            weak->connectToHostname(weak->m_targetHostname, weak->targetIP(), weak->m_targetSSIDs,
                                    completion);
        });
    });
}

void AppDelegate::connectToHostname(const QString& hostname, const QString& ip, const QStringList& ssids,
                                    Completion completion)
{
    if (ip.isEmpty()) {
        postOnMain([](AppDelegate& self) {
            self.ui().showOKAlertWithQuestion(tr("No pairing data is found, please try to pair Pikora again"),
                                              QString());
        });
        return;
    }

    // Blocks the main thread up to the query's timeout.
    const std::optional<KPRemoteHost> record =
        m_scanner ? m_scanner->unicast(ip, kUnicastTimeout) : std::nullopt;
    if (!record || record->hostName() != hostname) {
        qCInfo(lcApp).noquote() << QStringLiteral("unicast hostname(%1) is not equal to hostname(%2)")
                                       .arg(record ? record->hostName() : QStringLiteral("(null)"), hostname);
        promptToUsersAboutDisconnectivity(hostname, ip, ssids);
        return;
    }

    auto device =
        KPGenericDevice::vistrelproDeviceFromIP(ip, hostname, kConnectionTimeout, record->controlPort());
    QPointer<AppDelegate> weak(this);
    connectTo(device, [weak, device, ssids,
                       completion = std::move(completion)](bool success, std::optional<KPError> error) {
        if (completion)
            completion(success, error);
        if (success || !weak)
            return;
        qCInfo(lcApp).noquote() << QStringLiteral("Error connecting to device %1, error:%2")
                                       .arg(describe(device), error ? error->description() : QString());
        weak->promptToUsersAboutDisconnectivity(device->hostName(), device->ipAddress(), ssids);
    });
}

void AppDelegate::connectTo(const std::shared_ptr<KPPrototypeDevice>& device, Completion result)
{
    KPDeviceController& controller = deviceController();
    QPointer<AppDelegate> weak(this);
    controller.setConnectionCallback(
        [weak, result = std::move(result)](std::shared_ptr<KPPrototypeDevice> connected,
                                           std::optional<KPError> error) {
            if (!weak)
                return;
            AppDelegate& self = *weak;
            if (error) {
                if (result)
                    result(false, error);
            } else {
                self.setupReachOnDevice(connected);
                self.m_policyExecuter =
                    self.m_env.makeHostControlPolicy ? self.m_env.makeHostControlPolicy() : nullptr;
                if (auto transmitter = self.deviceController().transmitter()) {
                    if (auto* conference = transmitter->conferenceController())
                        conference->setHostControlDelegate(self.m_policyExecuter);
                }
                self.ui().showIsReadyWithAutoDismiss(false);
                if (result)
                    result(true, std::nullopt);
            }
            if (weak)
                weak->m_isConnecting = false;
        });
    controller.connect(device);
}

void AppDelegate::setupReachOnDevice(const std::shared_ptr<KPPrototypeDevice>& device)
{
    if (m_reach)
        m_reach->stopNotifier();
    m_reach.reset();
    if (!device || !m_env.makeReachability)
        return;
    m_reach = m_env.makeReachability(device->ipAddress());
    if (!m_reach)
        return;
    QPointer<AppDelegate> weak(this);
    auto dropLink = [weak] {
        if (weak) {
            qCInfo(lcApp) << "receiver reachability changed; dropping the receiver link";
            weak->deviceController().disconnect();
        }
    };
    m_reach->setReachableBlock(dropLink);
    m_reach->setUnreachableBlock(dropLink);
    m_reach->startNotifier();
}

QString AppDelegate::disconnectivityInformativeText(const QStringList& ssids, const QString& currentSsid)
{
    QString list;
    bool onListedNetwork = false;
    for (const QString& ssid : ssids) {
        list += QStringLiteral("\n \u2022 %1").arg(ssid);
        if (!currentSsid.isEmpty() && ssid == currentSsid)
            onListedNetwork = true;
    }
    if (onListedNetwork)
        return tr("Please restart WiFi display device");
    return tr("Please connect your Wi-Fi to following SSID") + QStringLiteral(": %1").arg(list);
}

void AppDelegate::promptToUsersAboutDisconnectivity(const QString& hostname, const QString& ip,
                                                    const QStringList& ssids)
{
    // The current network is read on the calling thread, before the hop to the main queue.
    const QString currentSsid = m_env.wifi ? m_env.wifi->currentSsid() : QString();
    postOnMain([hostname, ip, ssids, currentSsid](AppDelegate& self) {
        const QString message =
            QStringLiteral("%1\n%2\n%3").arg(tr("Failed to connect device"), hostname, ip);
        self.ui().showOKAlertWithQuestion(message, disconnectivityInformativeText(ssids, currentSsid));
        self.m_isConnecting = false;
    });
}
