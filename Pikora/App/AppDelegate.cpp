#include "Pikora/App/AppDelegate.h"

#include "Beamline/KPJSONRPC.h"
#include "Pikora/Accessory/CompositeLauncherController.h"
#include "Pikora/App/AppLogging.h"
#include "Pikora/App/HostControlPolicy.h"
#include "Pikora/App/UserInterface.h"
#include "Pikora/Discovery/UnicastRemoteHostScanner.h"
#include "Pikora/Platform/PermissionBroker.h"
#include "Pikora/Platform/ReachabilityWatcher.h"
#include "Pikora/Platform/RunningApplications.h"
#include "Pikora/StartAtLoginController/StartAtLoginController.h"
#include "Support/BundleInfo.h"
#include "Support/DispatchQueue.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>

namespace {
const QString kInstallerBundleId = QStringLiteral("com.quorbel.Pikora-Installer");
const QString kReceiverAppBundleId = QStringLiteral("com.Tamsic.Vistrel-Pro");
} // namespace

AppDelegate::AppDelegate(AppEnvironment environment, QObject* parent)
    : QObject(parent), m_env(std::move(environment))
{
    Q_ASSERT(m_env.ui);
}

AppDelegate::~AppDelegate()
{
    if (m_reach)
        m_reach->stopNotifier();
    if (m_env.permissionBroker)
        m_env.permissionBroker->stop();
    deviceController().setDelegate(nullptr);
}

KPDeviceController& AppDelegate::deviceController() const
{
    return m_env.deviceController ? *m_env.deviceController : KPDeviceController::sharedDeviceController();
}

void AppDelegate::postOnMain(std::function<void(AppDelegate&)> fn)
{
    QPointer<AppDelegate> weak(this);
    mainQueue().async([weak, fn = std::move(fn)] {
        if (weak)
            fn(*weak);
    });
}

void AppDelegate::showMessage(const QString& message, double dismissAfter)
{
    if (dismissAfter > 0)
        ui().showUserNotification(message, QString(), dismissAfter);
    else
        ui().showUserNotification(message, QString());
}

bool AppDelegate::applicationDidFinishLaunching()
{
    // 1. Wait while the installer runs.
    checkInstallerRunning();

    // 2. Register the login helper as a login item, on every start.
    m_serviceLoginController = std::make_unique<StartAtLoginController>(
        m_env.loginItems, BundleInfo::main().stringValue(QStringLiteral("LoginHelperBundleID")));
    m_serviceLoginController->setStartAtLogin(true);

    // 3. A conflicting network driver stops start-up for good.
    if (checkHoRNDISInstallation())
        return false;

    // 4. Wait until the receiver's own desktop application has quit.
    waitForReceiverApplicationToQuit();

    // 5. The permission protocol with that application.
    if (m_env.permissionBroker) {
        QPointer<AppDelegate> weak(this);
        m_env.permissionBroker->setAllowQuery(
            [weak] { return weak && weak->isAllowedToLaunchReceiverApplication(); });
        m_env.permissionBroker->start();
    }

    // 6. Switch an accessory in raw USB mode into network mode.
    if (m_env.usbBus) {
        CompositeLauncherController& modeSwitch = CompositeLauncherController::shared();
        QPointer<AppDelegate> weak(this);
        modeSwitch.setSwitchResultHandler([weak](UsbResult result) {
            mainQueue().async([weak, result] {
                if (weak)
                    weak->accessoryModeSwitchDidFinish(result);
            });
        });
        modeSwitch.setup(m_env.usbBus);
    }

    // 7. Receivers.
    setupDeviceController();

    // 8. The accessory link; starts the USB watch and, when the accessory is there, probing.
    LauncherConnector::Options connectorOptions;
    connectorOptions.host = m_env.accessoryHost;
    connectorOptions.port = m_env.accessoryPort;
    m_connector = std::make_unique<LauncherConnector>(this, m_env.usbBus, connectorOptions);

    // 9. Accessory notifications.
    setupMsgDispatcher();

    // 11. The unicast receiver query.
    m_scanner = m_env.discoveryPort ? std::make_unique<UnicastRemoteHostScanner>(m_env.discoveryPort)
                                    : std::make_unique<UnicastRemoteHostScanner>();
    return true;
}

void AppDelegate::checkInstallerRunning()
{
    if (!m_env.applications)
        return;
    while (m_env.applications->isApplicationRunning(kInstallerBundleId)) {
        qCInfo(lcApp) << "waiting for the installer to finish";
        // Keep the event loop turning for a second, then rest for a second, then ask again.
        QEventLoop loop;
        QTimer::singleShot(1000, &loop, &QEventLoop::quit);
        loop.exec();
        QThread::sleep(1);
    }
}

bool AppDelegate::checkHoRNDISInstallation()
{
    bool installed = false;
    for (const QString& path : m_env.conflictingDriverPaths)
        installed = installed || QFileInfo(path).isDir();
    if (!installed)
        return false;

    ui().showAlert(
        tr("Sorry"),
        tr("Pikora is not compatible with HoRNDIS.kext, please remove HoRNDIS.kext and restart your Mac"),
        tr("Show instructions"));
    if (m_env.applications)
        m_env.applications->openUrl(m_env.driverInstructionsUrl);
    if (m_env.terminate)
        m_env.terminate();
    return true;
}

void AppDelegate::waitForReceiverApplicationToQuit()
{
    if (!m_env.applications)
        return;
    while (m_env.applications->isApplicationRunning(kReceiverAppBundleId)) {
        ui().showAlert(tr("VistrelPro is running!"),
                       tr("VistrelPro app is running, please close it for Pikora"), tr("OK"));
    }
}

bool AppDelegate::isAllowedToLaunchReceiverApplication() const
{
    return !m_targetIP.has_value();
}

QString AppDelegate::accessoryAccessDeniedMessage()
{
    return tr("Pikora is not allowed to use the USB button. Install the Pikora package (it gives you "
              "access to the button), then unplug the button and plug it in again.");
}

void AppDelegate::accessoryModeSwitchDidFinish(UsbResult result)
{
    if (result != UsbResult::AccessDenied)
        return;
    qCWarning(lcApp) << "the accessory cannot be opened: access to its USB device is denied";
    if (m_toldAccessoryAccessDenied)
        return;
    m_toldAccessoryAccessDenied = true;
    ui().showUserNotification(accessoryAccessDeniedMessage(), QString());
}

void AppDelegate::about()
{
    ui().showAbout();
}

void AppDelegate::quit()
{
    if (m_env.terminate)
        m_env.terminate();
}
