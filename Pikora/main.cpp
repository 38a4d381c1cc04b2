// Pikora: wires the real platform layers, the user interface and the application controller
// together, then hands control to the event loop.
#include "Beamline/KPDeviceController.h"
#include "Pikora/App/AppDelegate.h"
#include "Pikora/App/AppLogging.h"
#include "Pikora/App/AppOptions.h"
#include "Pikora/App/AppPairingHost.h"
#include "Pikora/Capture/AVSessionUtility.h"
#include "Pikora/Capture/HearlineAudioPath.h"
#include "Pikora/Capture/KPDesktopImageProvider.h"
#include "Pikora/Capture/PortalFrameSource.h"
#include "Pikora/HostControl/HostControlPolicyExecuter.h"
#include "Pikora/Platform/DBusPermissionBroker.h"
#include "Pikora/Platform/DBusPowerAssertion.h"
#include "Pikora/Platform/NetworkManagerWifiInfo.h"
#include "Pikora/Platform/PortalPointerInjector.h"
#include "Pikora/Platform/ProcRunningApplications.h"
#include "Pikora/Platform/RouteReachabilityWatcher.h"
#include "Pikora/Platform/XTestPointerInjector.h"
#include "Pikora/StartAtLoginController/XdgAutostartLoginItems.h"
#include "Pikora/UI/PopoverUserInterface.h"
#include "QuorbelOSXUtility/CoreAudioUtility.h"
#include "QuorbelOSXUtility/UsbBus.h"
#include "Support/BundleInfo.h"
#include "Support/Logging.h"
#include "Support/UserDefaults.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

// Touch points from the receiver are scaled on Beamline's link thread, where QScreen must not
// be read: the main screen's size is kept here, refreshed on the main thread when it changes.
// Width and height share one 64-bit word, so a reader never sees half an update (an atomic
// QSize is not lock-free everywhere and would need libatomic).
std::function<QSize()> watchMainScreenSize(QGuiApplication& app)
{
    auto size = std::make_shared<std::atomic<quint64>>(0);
    auto refresh = [size] {
        const QScreen* screen = QGuiApplication::primaryScreen();
        const QSize s = screen ? screen->geometry().size() : QSize();
        size->store(s.isValid() ? (quint64(quint32(s.width())) << 32) | quint32(s.height()) : 0);
    };
    auto watch = [&app, refresh](QScreen* screen) {
        QObject::connect(screen, &QScreen::geometryChanged, &app, refresh);
    };
    for (QScreen* screen : QGuiApplication::screens())
        watch(screen);
    QObject::connect(&app, &QGuiApplication::screenAdded, &app, watch);
    QObject::connect(&app, &QGuiApplication::primaryScreenChanged, &app, refresh);
    refresh();
    return [size] {
        const quint64 packed = size->load();
        return packed ? QSize(int(packed >> 32), int(packed & 0xffffffffu)) : QSize();
    };
}

// The frame source: as asked, else the portal in a Wayland session (where X11 capture sees
// only X clients) and X11 everywhere else.
CaptureBackend chooseCaptureBackend(const QString& asked)
{
    if (asked == QLatin1String("test-pattern"))
        return CaptureBackend::TestPattern;
    if (asked == QLatin1String("x11"))
        return CaptureBackend::X11;
    if (asked == QLatin1String("portal") || PortalFrameSource::isWaylandSession())
        return CaptureBackend::Portal;
    return CaptureBackend::X11;
}

// The portal's restore token lives in the settings; its notices reach the user through the
// application controller on the main thread.
// "off": never; "always": wherever offered, even if the desktop then asks at every
// projection; otherwise (the default) only where the desktop can remember the choice.
void wirePortalPointer(PortalPointerInjector& pointer)
{
    const QString setting = UserDefaults::standard().value(QStringLiteral("PortalPointer")).toString();
    PortalFrameSource::PointerMode mode = PortalFrameSource::PointerMode::Remembered;
    if (setting == QLatin1String("off"))
        mode = PortalFrameSource::PointerMode::Off;
    else if (setting == QLatin1String("always"))
        mode = PortalFrameSource::PointerMode::Always;
    PortalFrameSource::setPointerTarget({[&pointer](QSize size, PortalPointerInjector::Sender sender) {
                                             pointer.attach(size, std::move(sender));
                                         },
                                         [&pointer] { pointer.detach(); }},
                                        mode);
    if (mode == PortalFrameSource::PointerMode::Off)
        qCInfo(lcApp) << "pointer: the receiver's pointer is not forwarded (PortalPointer=off)";
}

void wirePortalCapture(AppDelegate& controller, QGuiApplication& app)
{
    static const QString kTokenKey = QStringLiteral("PortalRestoreToken");
    PortalFrameSource::setRestoreTokenStore(
        {[] { return UserDefaults::standard().value(kTokenKey).toString(); },
         [](const QString& token) {
             if (token.isEmpty())
                 UserDefaults::standard().removeObject(kTokenKey);
             else
                 UserDefaults::standard().setValue(kTokenKey, token);
         }});
    QPointer<AppDelegate> weak(&controller);
    PortalFrameSource::setNoticeHandler([weak](PortalFrameSource::Notice notice, const QString& message) {
        QMetaObject::invokeMethod(
            weak.data(),
            [weak, notice, message] {
                if (!weak)
                    return;
                if (notice == PortalFrameSource::Notice::Failed || notice == PortalFrameSource::Notice::Ended)
                    weak->captureFailed(message);
                else
                    weak->captureNotice(message);
            },
            Qt::QueuedConnection);
    });
    // Before the first stream: the primary screen's size in pixels, read on the main thread and
    // kept in one 64-bit word (an atomic QSize is not lock-free everywhere).
    auto size = std::make_shared<std::atomic<quint64>>(0);
    auto refresh = [size] {
        const QScreen* screen = QGuiApplication::primaryScreen();
        const QSize s =
            screen ? (QSizeF(screen->geometry().size()) * screen->devicePixelRatio()).toSize() : QSize();
        size->store(s.isValid() ? (quint64(quint32(s.width())) << 32) | quint32(s.height()) : 0);
    };
    QObject::connect(&app, &QGuiApplication::primaryScreenChanged, &app, refresh);
    refresh();
    PortalFrameSource::setSizeHint([size] {
        const quint64 packed = size->load();
        return packed ? QSize(int(packed >> 32), int(packed & 0xffffffffu)) : QSize();
    });
}

} // namespace

int main(int argc, char** argv)
{
    Logging::install();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pikora"));
    QApplication::setOrganizationName(QStringLiteral("Pikora"));
    QApplication::setApplicationVersion(BundleInfo::main().versionWithBuild());
    QApplication::setQuitOnLastWindowClosed(false);

    AppOptions options;
    QString error;
    if (!AppOptions::parse(QApplication::arguments(), options, &error)) {
        std::fprintf(stderr, "Pikora: %s\n\n%s", qPrintable(error), qPrintable(AppOptions::usage()));
        return 2;
    }
    if (!options.settingsFile.isEmpty())
        UserDefaults::setStandardFile(options.settingsFile);

    KPDesktopImageProvider::setCaptureBackend(chooseCaptureBackend(options.captureBackend));
    AVSessionUtility::sharedInstance()->setTransmitterProvider(
        [] { return KPDeviceController::sharedDeviceController().transmitter(); });

    // Sound: the user setting "SoundEnable" overrides the built-in value. Audio devices that a
    // previous run left switched (it crashed or was killed while forwarding) are put back first.
    const QVariant soundEnable = UserDefaults::standard().value(QStringLiteral("SoundEnable"));
    if (soundEnable.isValid())
        BundleInfo::setMain(
            BundleInfo::main().withValue(QStringLiteral("SoundEnable"), soundEnable.toBool()));
    CoreAudioUtility::restoreAfterUnexpectedExit();
    AVSessionUtility::sharedInstance()->setAudioPath(std::make_shared<HearlineAudioPath>());

    PopoverUserInterface ui;
    std::unique_ptr<UsbBus> usbBus = UsbBus::create(options.usbSimulationDirectory);
    ProcRunningApplications applications;
    DBusPermissionBroker permissionBroker(
        BundleInfo::main().stringValue(QStringLiteral("CFBundleIdentifier")));
    DBusPowerAssertion powerAssertion;
    XTestPointerInjector pointer;
    NetworkManagerWifiInfo wifi;
    // The login helper of this installation (<prefix>/libexec/pikora beside <prefix>/bin).
    XdgAutostartLoginItems loginItems(
        XdgAutostartLoginItems::helperPathForApplicationDirectory(QCoreApplication::applicationDirPath()));

    AppEnvironment env;
    env.ui = &ui;
    env.usbBus = usbBus.get();
    env.applications = &applications;
    env.permissionBroker = &permissionBroker;
    env.powerAssertion = &powerAssertion;
    // XTest reaches only X clients in a Wayland session: there the receiver's pointer goes
    // through the portal's RemoteDesktop interface, on the session that casts the screen.
    PortalPointerInjector portalPointer;
    if (PortalFrameSource::isWaylandSession()) {
        env.pointer = &portalPointer;
        wirePortalPointer(portalPointer);
    } else {
        env.pointer = &pointer;
    }
    env.wifi = &wifi;
    env.loginItems = &loginItems;
    env.makeReachability = [](const QString& host) -> std::unique_ptr<ReachabilityWatcher> {
        return std::make_unique<RouteReachabilityWatcher>(host);
    };
    env.accessoryHost = options.accessoryHost;
    env.accessoryPort = options.accessoryPort;
    env.scanTargets = QList<QHostAddress>(options.scanTargets.begin(), options.scanTargets.end());
    env.discoveryPort = options.discoveryPort;
    env.terminate = [] { QCoreApplication::quit(); };
    env.mainScreenSize = watchMainScreenSize(app);
    env.mainDisplayId = [] { return KPDesktopImageProvider::mainDisplayID(); };
    // A fresh host-control policy for every receiver connection; its preferences are the ones
    // the option dialog's switches write.
    env.makeHostControlPolicy = HostControlPolicyExecuter::factory(
        ui, ui.defaults(), [] { return KPDeviceController::sharedDeviceController().transmitter(); });

    AppDelegate controller(std::move(env));
    wirePortalCapture(controller, app);
    if (KPDesktopImageProvider::captureBackend() == CaptureBackend::Portal)
        qCInfo(lcApp) << "capture: through the desktop portal's screen cast";
    ui.setActions({[&controller] { controller.about(); }, [&controller] { controller.quit(); }, {}});

    AppPairingHost pairingHost(controller, ui);
    PairViewController::Environment pairing;
    pairing.host = &pairingHost;
    pairing.options.fetch.firstPort = options.configFirstPort;
    pairing.options.fetch.secondPort = options.configSecondPort;
    ui.setPairingEnvironment(pairing);

    if (options.runSeconds > 0)
        QTimer::singleShot(options.runSeconds * 1000, &app, &QCoreApplication::quit);

    int status = 0;
    QTimer::singleShot(0, &controller, [&controller, &status] {
        if (!controller.applicationDidFinishLaunching()) {
            status = 1;
            QCoreApplication::quit();
        }
    });
    const int rc = app.exec();
    // The portal pointer is a local of this function: no capture may reach it from here on.
    PortalFrameSource::setPointerTarget({}, PortalFrameSource::PointerMode::Off);
    // Give the user's audio devices back before the process goes, and end the audio capture
    // thread while the application still exists.
    AVSessionUtility::sharedInstance()->setAudioOn(false);
    AVSessionUtility::sharedInstance()->setAudioPath(nullptr);
    return status ? status : rc;
}
