#pragma once

// The application controller: creates every long-lived object at start-up, is the delegate
// of the accessory link, keeps the receiver target the accessory reports, connects to that
// receiver, and starts and stops the projection with pointer forwarding.
//
// Its work is split by concern over several source files: AppDelegate.cpp (start-up and
// the permission protocol), AppDelegateAccessory.cpp (accessory messages and the button),
// AppDelegateConnection.cpp (receiver connection) and AppDelegateProjection.cpp (display
// stream, power, pointer).

#include "Beamline/GenericDeviceHIDEventListener.h"
#include "Beamline/KPDeviceController.h"
#include "Beamline/KPJSONRPC.h"
#include "Pikora/Accessory/LauncherConnector.h"
#include "Pikora/App/AppEnvironment.h"
#include "Pikora/Platform/PowerAssertion.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class HostControlPolicy;
class PointerInjector;
class KPJSONRPCDispatcher;
class KPJSONRPCResponse;
class ReachabilityWatcher;
class StartAtLoginController;
enum class UsbResult;
class UnicastRemoteHostScanner;

class AppDelegate : public QObject,
                    public LauncherConnectorDelegate,
                    public KPDeviceControllerDelegate,
                    public GenericDeviceHIDEventListener
{
    Q_OBJECT
public:
    using Completion = std::function<void(bool success, std::optional<KPError> error)>;

    static constexpr double kNotificationDuration = 3.0;
    static constexpr int kDiscoveryWaitMs = 1000;
    static constexpr double kUnicastTimeout = 1.0;
    static constexpr double kConnectionTimeout = 3.0;
    static constexpr int kCaptureQuality = 3;

    explicit AppDelegate(AppEnvironment environment, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Start-up, strictly in order: installer wait, login item, driver check, receiver
    // application check, permission protocol, USB mode switch, device controller, accessory
    // link, message dispatcher, unicast scanner. Returns false when start-up stopped for good
    // (the driver conflict); the application then terminates.
    bool applicationDidFinishLaunching();

    // --- start-up checks
    void checkInstallerRunning();
    // True when a conflicting driver is installed (the user has been told; terminate).
    bool checkHoRNDISInstallation();
    void waitForReceiverApplicationToQuit();
    // The answer of the permission protocol: may the receiver's application launch now?
    bool isAllowedToLaunchReceiverApplication() const;

    void about();
    void quit();

    // The end of a USB mode-switch attempt. When the accessory may not be opened (no access
    // to its device node), the user is told once what to do.
    void accessoryModeSwitchDidFinish(UsbResult result);
    static QString accessoryAccessDeniedMessage();

    // --- accessory messages
    void setupMsgDispatcher();
    void launcherButtonPressed(bool longPress);
    void writePairingDataToLauncher(const Json& pairingData);
    void pairingDidComplete();
    void sendQueryConnectionIntentVia(LauncherConnector* connector);
    void handleResponse(const KPJSONRPCResponse& response);

    void connectorECMUSBDidPluggedIn(LauncherConnector* connector) override;
    void connectorDidConnectToAccessory(LauncherConnector* connector, const Json& result) override;
    void connectorDidDisconnectFromAccessory(LauncherConnector* connector) override;
    void connectorDidReceiveMessage(LauncherConnector* connector, const std::string& message) override;

    // --- receiver connection
    void setupDeviceController();
    void StartRemoteHostServiceConnectingProcess(Completion completion);
    void connectToHostname(const QString& hostname, const QString& ip, const QStringList& ssids,
                           Completion completion);
    void connectTo(const std::shared_ptr<KPPrototypeDevice>& device, Completion result);
    void setupReachOnDevice(const std::shared_ptr<KPPrototypeDevice>& device);
    void promptToUsersAboutDisconnectivity(const QString& hostname, const QString& ip,
                                           const QStringList& ssids);
    // The informative text of the disconnectivity alert for these networks and current SSID.
    static QString disconnectivityInformativeText(const QStringList& ssids, const QString& currentSsid);

    // --- projection
    void startWifiDisplay();
    void stopWifiDisplay(bool dropLink);
    // The frame source cannot go on (no screen-sharing permission, the stream ended): stop the
    // projection as a press would, and let the user read why instead of the usual notice.
    void captureFailed(const QString& message);
    // A notice from the frame source that does not stop the projection.
    void captureNotice(const QString& message);

    // Pointer input from the receiver (Beamline's link thread).
    void mouseMoveDetected(QPointF delta) override;
    void LeftMouseDownDetected() override;
    void LeftMouseUpDetected() override;
    void leftMouseDragged(QPointF delta) override;
    void RightMouseDownDetected() override;
    void RightMouseUpDetected() override;
    void touchEventConvertedToSingleMouseEvent_Down(QPointF point, QSizeF base) override;
    void touchEventConvertedToSingleMouseEvent_Up(QPointF point, QSizeF base) override;
    void touchEventConvertedToSingleMouseEvent_Dragged(QPointF point, QSizeF base) override;
    // A touch point in the receiver's base scaled to the main screen; nothing for a point or
    // base that cannot be scaled (non-finite, empty base).
    static std::optional<QPointF> scaleTouchPoint(QPointF point, QSizeF base, QSize screen);

    // --- state, for the rest of the application and tests
    QString targetIP() const { return m_targetIP.value_or(QString()); }
    bool hasTargetIP() const { return m_targetIP.has_value(); }
    QString targetHostname() const { return m_targetHostname; }
    QStringList targetSSIDs() const { return m_targetSSIDs; }
    bool isConnecting() const { return m_isConnecting; }
    const Json& handshakeData() const { return m_handshakeData; }
    LauncherConnector* connector() const { return m_connector.get(); }
    StartAtLoginController* serviceLoginController() const { return m_serviceLoginController.get(); }
    KPDeviceController& deviceController() const;
    std::shared_ptr<HostControlPolicy> policyExecuter() const { return m_policyExecuter; }
    bool isProjecting() const { return m_projecting; }

signals:
    // Emitted when the projection has started on the receiver and capture is running.
    void projectionStarted();
    // Emitted when the receiver's display stream ended.
    void projectionStopped();

private:
    UserInterface& ui() const { return *m_env.ui; }
    void showMessage(const QString& message, double dismissAfter = 0);
    void releasePowerAssertions();
    // Lets the receiver's pointer drive ours (a granted stream) or stops it.
    void setPointerForwarding(bool on);
    void postOnMain(std::function<void(AppDelegate&)> fn);
    // Posts a pointer event on the main thread, unless forwarding is off by then.
    void postPointerOnMain(std::function<void(PointerInjector&)> post);

    AppEnvironment m_env;
    std::unique_ptr<StartAtLoginController> m_serviceLoginController;
    std::unique_ptr<LauncherConnector> m_connector;
    std::unique_ptr<KPJSONRPCDispatcher> m_msgDispatcher;
    std::unique_ptr<UnicastRemoteHostScanner> m_scanner;
    std::shared_ptr<HostControlPolicy> m_policyExecuter;
    std::unique_ptr<ReachabilityWatcher> m_reach;

    QString m_targetHostname;
    std::optional<QString> m_targetIP; // no value: no pairing known
    QStringList m_targetSSIDs;
    Json m_handshakeData;
    bool m_isConnecting = false;

    PowerAssertion::Id m_screenIdleAssertionID = 0;
    PowerAssertion::Id m_sleepIdleAssertionID = 0;
    std::atomic<bool> m_pointerForwarding{false};
    bool m_projecting = false;
    bool m_toldAccessoryAccessDenied = false;
    QString m_captureFailure; // shown instead of the disconnect notice, once
};
