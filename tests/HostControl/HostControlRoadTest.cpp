// Host and guest policies over Beamline's real link to an emulated conference receiver on
// loopback: the guest's stream request reaches the host's popover, is answered through its
// buttons, and the guest sees the wait, the denial or its own cancel.
#include "Beamline/KPDataTransmitterConferenceControl.h"
#include "Beamline/KPDeviceController.h"
#include "Beamline/KPGenericDevice.h"
#include "Pikora/HostControl/HostControlPolicyExecuter.h"
#include "Pikora/UI/Dialog.h"
#include "Pikora/UI/PopoverUserInterface.h"
#include "Support/UserDefaults.h"
#include "tests/UI/UiTestSupport.h"
#include "tools/receiver-emulator/ReceiverEmulator.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QThread>

namespace {

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 8000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(2);
    }
    return true;
}

// One sender: its device controller, popover (with its own preferences) and policy.
struct Sender
{
    explicit Sender(const QString& defaultsFile) : defaults(defaultsFile)
    {
        devices.registerScanner<KPGenericDeviceScanner, KPGenericDeviceDataTransmitter, KPGenericDevice>(
            KPGenericDeviceScanner::vistrelProPredicate());
        PopoverUserInterface::Options options;
        options.defaults = &defaults;
        options.alerts = std::make_unique<FakeAlertPresenter>();
        options.statusItem = StatusItem::Presentation::Window;
        ui = std::make_unique<PopoverUserInterface>(std::move(options));
    }
    ~Sender()
    {
        policy.reset();
        devices.disconnect();
        ui.reset();
    }

    bool connect(const ReceiverEmulator& rx)
    {
        bool done = false, ok = false;
        devices.setConnectionCallback([&](std::shared_ptr<KPPrototypeDevice>, std::optional<KPError> error) {
            done = true;
            ok = !error;
        });
        devices.connect(KPGenericDevice::vistrelproDeviceFromIP(rx.address().toString(), QStringLiteral("?"),
                                                                3.0, rx.controlPort()));
        if (!waitUntil([&] { return done; }) || !ok)
            return false;
        // What the application controller does on every connection.
        policy = HostControlPolicyExecuter::create(*ui, defaults, [this] { return devices.transmitter(); });
        devices.transmitter()->conferenceController()->setHostControlDelegate(policy);
        devices.setWifiDisplayStartCallback(
            [this](std::optional<KPError> error) { starts.push_back(error); });
        return true;
    }

    Dialog* dialog() const { return ui->isPopoverShown() ? ui->dialog() : nullptr; }
    QString title() const { return dialog() ? dialog()->titleLabel()->text() : QString(); }
    bool press(const QString& caption)
    {
        Dialog* d = dialog();
        if (!d || !d->currentContainer())
            return false;
        for (QPushButton* button : d->currentContainer()->findChildren<QPushButton*>()) {
            if (button->text() == caption) {
                button->click();
                return true;
            }
        }
        return false;
    }

    UserDefaults defaults;
    KPDeviceController devices;
    std::unique_ptr<PopoverUserInterface> ui;
    std::shared_ptr<HostControlPolicyExecuter> policy;
    std::vector<std::optional<KPError>> starts;
};

} // namespace

TEST(HostControlRoad, GuestAsksTheHostWhoAnswersThroughItsDialog)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ReceiverEmulatorConfig config;
    config.bindAddress = QHostAddress(QStringLiteral("127.0.0.9"));
    config.name = QStringLiteral("Conference");
    config.discoveryPort = 0;
    config.controlPort = 0;
    config.configPort = -1;
    config.conferenceVersion = 2;
    ReceiverEmulator rx(config);
    QString error;
    ASSERT_TRUE(rx.start(&error)) << error.toStdString();

    Sender host(dir.filePath(QStringLiteral("host.ini")));
    Sender guest(dir.filePath(QStringLiteral("guest.ini")));
    ASSERT_TRUE(host.connect(rx));
    host.devices.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return host.starts.size() == 1; }));
    ASSERT_FALSE(host.starts[0].has_value());
    ASSERT_TRUE(waitUntil([&] { return host.policy->isHost(); }));
    ASSERT_TRUE(guest.connect(rx));

    // Shared: the guest waits while the host is asked; the host's answer lets it stream.
    guest.devices.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return host.dialog() && guest.dialog(); }));
    EXPECT_EQ(host.title(), QStringLiteral("Allow guest's request?"));
    EXPECT_EQ(guest.title(), QStringLiteral("Waiting for host's reply"));
    EXPECT_TRUE(guest.policy->isQueryingHost());
    ASSERT_TRUE(host.press(QStringLiteral("Share Screen")));
    ASSERT_TRUE(waitUntil([&] { return guest.starts.size() == 1; }));
    EXPECT_FALSE(guest.starts[0].has_value());
    EXPECT_EQ(rx.statistics().lastHostAnswer, std::optional<bool>(true));
    EXPECT_EQ(rx.statistics().lastHostAnswerMode, 1);
    EXPECT_TRUE(waitUntil([&] { return !guest.ui->isPopoverShown() && !host.ui->isPopoverShown(); }));
    EXPECT_FALSE(guest.policy->isQueryingHost());

    // Denied: the guest is told and acknowledges it.
    guest.devices.stopWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return rx.statistics().streamingSenders == 1; }));
    guest.devices.startWifiDisplay();
    ASSERT_TRUE(waitUntil([&] { return host.dialog() != nullptr; }));
    ASSERT_TRUE(host.press(QStringLiteral("Deny")));
    ASSERT_TRUE(waitUntil([&] { return guest.title() == QStringLiteral("Host denied your request"); }));
    ASSERT_TRUE(waitUntil([&] { return guest.starts.size() == 2; }));
    ASSERT_TRUE(guest.starts[1].has_value());
    EXPECT_EQ(guest.starts[1]->code, KPError::DeniedByHost);
    ASSERT_TRUE(guest.press(QStringLiteral("OK")));
    EXPECT_TRUE(waitUntil([&] { return guest.ui->dialog() == nullptr; }));

    // The guest cancels while waiting: the host's question goes away unanswered.
    guest.devices.startWifiDisplay();
    ASSERT_TRUE(waitUntil(
        [&] { return host.dialog() && guest.title() == QStringLiteral("Waiting for host's reply"); }));
    ASSERT_TRUE(guest.press(QStringLiteral("Cancel")));
    ASSERT_TRUE(waitUntil([&] { return guest.starts.size() == 3; }));
    ASSERT_TRUE(guest.starts[2].has_value());
    EXPECT_EQ(guest.starts[2]->code, KPError::Cancelled);
    EXPECT_TRUE(waitUntil([&] { return !host.ui->isPopoverShown(); }));
    EXPECT_TRUE(host.policy->pendingRequest().isEmpty());
    EXPECT_FALSE(guest.policy->isQueryingHost());
}
