// What the application controller does with the accessory's link and messages: ask for the
// paired receiver on every new link, keep the receiver target, turn button presses into a
// connection step followed by starting or stopping the projection.
#include "Beamline/JsonAccess.h"
#include "Beamline/KPJSONRPC.h"
#include "Pikora/App/AppDelegate.h"
#include "Pikora/App/AppLogging.h"
#include "Pikora/App/HostControlPolicy.h"
#include "Pikora/App/UserInterface.h"
#include "Support/DispatchQueue.h"

namespace {

const char kQueryConnectionIntent[] = "query-connection-intent";
const char kSetPairingData[] = "set-pairing-data";

// The longest receiver name, address or Wi-Fi name taken from the accessory.
constexpr std::size_t kMaxTargetText = 256;

// A string member of the accessory's answer; no value when absent, and no value (with one log
// line) when it has another type or is too long.
std::optional<QString> stringMember(const Json& object, const char* key)
{
    const auto read = JsonAccess::string(object, key, kMaxTargetText);
    if (read)
        return QString::fromStdString(*read);
    if (read.error != JsonAccess::ReadError::Missing)
        qCWarning(lcApp).noquote() << "query-connection-intent:"
                                   << QString::fromStdString(JsonAccess::describe(read.error, key))
                                   << "- taken as absent";
    return std::nullopt;
}

} // namespace

void AppDelegate::setupMsgDispatcher()
{
    if (!m_msgDispatcher)
        m_msgDispatcher = std::make_unique<KPJSONRPCDispatcher>();
    m_msgDispatcher->clearAllRegisteredBlock();
    QPointer<AppDelegate> weak(this);
    m_msgDispatcher->registerNotification("notify-button-pressed",
                                          [weak](const KPJSONRPCNotification&, void*) {
                                              if (weak)
                                                  weak->launcherButtonPressed(false);
                                          });
    m_msgDispatcher->registerNotification("notify-button-long-pressed",
                                          [weak](const KPJSONRPCNotification&, void*) {
                                              if (weak)
                                                  weak->launcherButtonPressed(true);
                                          });
}

void AppDelegate::sendQueryConnectionIntentVia(LauncherConnector* connector)
{
    if (!connector)
        return;
    const KPJSONRPCRequest request(kQueryConnectionIntent, nullptr, kQueryConnectionIntent);
    connector->sendMessage(request.JSONRPCMessage());
}

void AppDelegate::writePairingDataToLauncher(const Json& pairingData)
{
    if (!m_connector)
        return;
    const KPJSONRPCRequest request(kSetPairingData, pairingData, kSetPairingData);
    m_connector->sendMessage(request.JSONRPCMessage());
}

void AppDelegate::pairingDidComplete()
{
    sendQueryConnectionIntentVia(m_connector.get());
}

void AppDelegate::connectorECMUSBDidPluggedIn(LauncherConnector*)
{
    ui().showUserNotification(tr("Booting Pikora"), QString());
    ui().showUserNotification(tr("Preparing Pikora"), QString());
}

void AppDelegate::connectorDidConnectToAccessory(LauncherConnector* connector, const Json& result)
{
    if (result.is_object())
        m_handshakeData = result;
    if (m_policyExecuter)
        m_policyExecuter->resetHostControlSetting();
    sendQueryConnectionIntentVia(connector);
}

void AppDelegate::connectorDidReceiveMessage(LauncherConnector*, const std::string& message)
{
    std::string error;
    std::shared_ptr<KPJSONRPCObject> object = KPJSONRPCObject::parse(message, &error);
    if (!object)
        return; // unparsable messages are dropped
    postOnMain([object](AppDelegate& self) {
        switch (object->kind()) {
        case KPJSONRPCObject::Kind::Response:
            self.handleResponse(static_cast<const KPJSONRPCResponse&>(*object));
            break;
        case KPJSONRPCObject::Kind::Notification:
            self.m_msgDispatcher->processNotification(static_cast<const KPJSONRPCNotification&>(*object),
                                                      nullptr);
            break;
        case KPJSONRPCObject::Kind::Request:
            // No request from the accessory is handled; the dispatcher's answer is not sent.
            self.m_msgDispatcher->processRequest(static_cast<const KPJSONRPCRequest&>(*object), nullptr);
            break;
        }
    });
}

void AppDelegate::handleResponse(const KPJSONRPCResponse& response)
{
    const auto id = JsonAccess::asString(response.aId(), sizeof(kQueryConnectionIntent));
    if (!id || *id != kQueryConnectionIntent)
        return;

    if (response.isError()) {
        qCInfo(lcApp).noquote() << QStringLiteral("error while query-connection-intent:%1")
                                       .arg(QString::fromStdString(
                                                response.error().dump(-1, ' ', false,
                                                                      Json::error_handler_t::replace))
                                                .left(1024));
        ui().showUserNotification(tr("No pairing data is found, please try to pair Pikora again"), QString());
        return;
    }

    const Json& result = response.result();
    qCInfo(lcApp).noquote() << QStringLiteral("query-connection-intent: %1")
                                   .arg(QString::fromStdString(
                                            result.dump(-1, ' ', false, Json::error_handler_t::replace))
                                            .left(1024));
    if (!result.is_object()) {
        qCWarning(lcApp) << "query-connection-intent: the answer is not an object; ignored";
        return;
    }
    m_targetIP = stringMember(result, "ip_addr");
    m_targetHostname = stringMember(result, "hostname").value_or(QString());
    m_targetSSIDs.clear();
    for (const char* key : {"ssid_2.4G", "ssid_5G"}) {
        if (auto ssid = stringMember(result, key))
            m_targetSSIDs.append(*ssid);
    }
    m_isConnecting = false;

    QPointer<AppDelegate> weak(this);
    StartRemoteHostServiceConnectingProcess([weak](bool, std::optional<KPError>) {
        if (!weak)
            return;
        if (weak->deviceController().isWIFIDisplayOn()) {
            weak->stopWifiDisplay(false);
        } else {
            weak->showMessage(tr("Connecting device"), kNotificationDuration);
            weak->startWifiDisplay();
        }
    });
}

void AppDelegate::launcherButtonPressed(bool longPress)
{
    if (m_targetIP.value_or(QString()).isEmpty()) {
        showMessage(tr("No pairing data is found, please try to pair Pikora again"), kNotificationDuration);
        return;
    }
    if (m_policyExecuter && m_policyExecuter->isQueryingHost()) {
        qCInfo(lcApp) << "Pikora is asking host for permission. This button press event will be ignored...";
        return;
    }

    QPointer<AppDelegate> weak(this);
    StartRemoteHostServiceConnectingProcess([weak, longPress](bool, std::optional<KPError>) {
        if (!weak)
            return;
        KPDeviceController& controller = weak->deviceController();
        if (!longPress) {
            if (controller.isWIFIDisplayOn()) {
                weak->stopWifiDisplay(false);
            } else {
                weak->showMessage(tr("Connecting device"), kNotificationDuration);
                weak->startWifiDisplay();
            }
            return;
        }
        auto transmitter = controller.transmitter();
        if (!transmitter)
            return;
        if (KPSplitScreenController* split = transmitter->splitScreenController()) {
            if (split->screenNumber() == 1 && split->screenPosition() == 1) {
                qCInfo(lcApp) << "long press: this computer has the whole screen already";
                return;
            }
        }
        KPDataTransmitterConferenceControl* conference = transmitter->conferenceController();
        if (!conference)
            return;
        conference->requestFullscreen(true, [weak](bool granted) {
            if (granted && weak)
                weak->startWifiDisplay();
        });
    });
}

void AppDelegate::connectorDidDisconnectFromAccessory(LauncherConnector*)
{
    showMessage(tr("Pikora is removed"), kNotificationDuration);
    stopWifiDisplay(true);
    if (m_policyExecuter)
        m_policyExecuter->resetHostControlSetting();
    m_targetIP.reset();
    m_targetSSIDs.clear();
    m_targetHostname.clear();
    m_isConnecting = false;
}
