// The accessory's messages as the application handles them: each input is one message from
// the accessory link, handed to AppDelegate::connectorDidReceiveMessage() and run on the main
// queue like in the product (responses to "query-connection-intent", button notifications,
// requests). The application object lives across inputs, so sequences reach state-dependent
// paths (a target set by one answer, a press after it). Receiver discovery that an answer
// starts goes to 127.0.0.1 port 9 only. Crashes, exceptions and sanitizer reports are the
// findings.
#include "Beamline/KPDeviceController.h"
#include "Pikora/App/AppDelegate.h"
#include "Pikora/App/UserInterface.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QLoggingCategory>
#include <cstddef>
#include <cstdint>

namespace {

struct NullUserInterface : UserInterface
{
    void setActions(Actions) override {}
    void showUserNotification(const QString& message, const QString&) override { last = message; }
    void showUserNotification(const QString& message, const QString&, double) override { last = message; }
    void showIsReadyWithAutoDismiss(bool) override {}
    void hostDidDenyProjectionRequest() override {}
    void hidePopover() override {}
    void hideNotificationPopoverIfNeeded() override {}
    void cancelAutoDismissTimer() override {}
    void setDialogTitle(const QString&) override {}
    void setDialogMessage(const QString&) override {}
    void addDialogWithOption(const QString&, DialogOptionBlock) override {}
    void commitDialog() override {}
    void dismissDialog() override {}
    bool showOKAlertWithQuestion(const QString&, const QString&) override { return true; }
    bool showOKCancelAlertWithQuestion(const QString&, const QString&) override { return false; }
    QString last;
};

AppDelegate* g_app = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    static NullUserInterface ui;
    static KPDeviceController devices;
    AppEnvironment env;
    env.ui = &ui;
    env.deviceController = &devices;
    env.scanTargets = {QHostAddress(QHostAddress::LocalHost)};
    env.discoveryPort = 9;
    env.accessoryHost = QStringLiteral("127.0.0.1");
    env.accessoryPort = 9;
    static AppDelegate delegate(env);
    delegate.setupDeviceController();
    delegate.setupMsgDispatcher();
    g_app = &delegate;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string message(reinterpret_cast<const char*>(data), size);
    g_app->connectorDidReceiveMessage(nullptr, message);
    // The handshake result is taken as it comes too.
    const Json handshake = Json::parse(message, nullptr, false);
    if (!handshake.is_discarded())
        g_app->connectorDidConnectToAccessory(nullptr, handshake);
    QCoreApplication::sendPostedEvents();
    return 0;
}
