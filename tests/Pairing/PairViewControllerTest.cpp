// The pairing window driven through its widgets, and the notification view that opens it.
#include "Pikora/UI/PairViewController.h"

#include "PairingTestSupport.h"
#include "Pikora/UI/NotificationViewController.h"
#include "Pikora/UI/PopoverUserInterface.h"
#include "ReceiverEmulator.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

const QString kNbsp(QChar(0x00A0));

class PairWindow : public ::testing::Test
{
protected:
    PairViewController::Environment environment()
    {
        PairViewController::Environment env;
        env.host = &host;
        env.resolver = resolver;
        return env;
    }

    RecordingPairingHost host;
    std::shared_ptr<FakeResolver> resolver = std::make_shared<FakeResolver>();
};

TEST_F(PairWindow, ShowsTheTextsWithTheirNoBreakSpaces)
{
    PairViewController vc(environment());
    vc.showWindow();
    EXPECT_EQ(vc.window()->windowTitle(),
              QStringLiteral("Pairing") + kNbsp + "with" + kNbsp + "Vistrel Pro Device");
    EXPECT_EQ(vc.mainMessageLabel()->text(), QStringLiteral("Please input Vistrel Pro's Name/IP/SSID"));
    EXPECT_EQ(vc.OKButton()->text(), QStringLiteral("OK"));
    EXPECT_EQ(vc.CancelButton()->text(), QStringLiteral("Cancel"));
    EXPECT_TRUE(vc.window()->isVisible());
    EXPECT_TRUE(vc.window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(vc.textfield()->window(), vc.window());
}

TEST_F(PairWindow, EnterAndOkEachStartOneAttemptWithOneNotice)
{
    PairViewController vc(environment());
    int attempts = 0;
    QObject::connect(&vc.flow(), &PairingFlow::attemptFinished, &vc, [&] { ++attempts; });
    vc.showWindow();
    const QString start =
        QStringLiteral("Pairing") + kNbsp + "Pikora" + kNbsp + "with" + kNbsp + "Vistrel Pro Device";

    // Empty: fails at once without traffic.
    QTest::keyClick(vc.textfield(), Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return attempts == 1; }));
    EXPECT_EQ(host.calls,
              QStringList({QStringLiteral("notify:") + start, QStringLiteral("notify:Pairing failed"),
                           QStringLiteral("alert:Error/Pairing failed")}));

    host.calls.clear();
    QTest::keyClicks(vc.textfield(), QStringLiteral("Nowhere"));
    QTest::mouseClick(vc.OKButton(), Qt::LeftButton);
    QTest::mouseClick(vc.OKButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return attempts == 3; }));
    spinFor(50);
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(host.calls.count(QStringLiteral("notify:") + start), 2);
    EXPECT_EQ(resolver->asked, QStringList({QStringLiteral("Nowhere"), QStringLiteral("Nowhere")}));
}

TEST_F(PairWindow, TheSameWindowIsReusedAndKeepsItsText)
{
    NotificationViewController notification;
    notification.setPairingEnvironment(environment());
    notification.view();
    notification.pairingButton()->click();
    PairViewController* vc = notification.vc();
    ASSERT_NE(vc, nullptr);
    QTest::keyClicks(vc->textfield(), QStringLiteral("Lobby"));
    vc->CancelButton()->click();
    EXPECT_FALSE(vc->window()->isVisible());

    notification.pairingButton()->click();
    EXPECT_EQ(notification.vc(), vc);
    EXPECT_TRUE(vc->window()->isVisible());
    EXPECT_EQ(vc->textfield()->text(), QStringLiteral("Lobby"));
    EXPECT_EQ(vc->window()->findChildren<QLineEdit*>().size(), 1) << "the view is in the window once";
}

TEST_F(PairWindow, ACompletedPairingHidesTheWindowEvenAfterCancel)
{
    ReceiverEmulatorConfig cfg;
    cfg.bindAddress = QHostAddress(QStringLiteral("127.0.0.2"));
    cfg.discoveryPort = 0;
    cfg.controlPort = 0;
    cfg.configPort = 0;
    cfg.firstConfigPort = 0;
    ReceiverEmulator rx(cfg);
    ASSERT_TRUE(rx.start());
    ASSERT_EQ(rx.configCommand(QStringLiteral("delay all 300")), QStringLiteral("ok"));

    PairViewController::Environment env = environment();
    env.options.fetch.firstPort = rx.firstConfigPort();
    env.options.fetch.secondPort = rx.configPort();
    NotificationViewController notification;
    notification.setPairingEnvironment(env);
    notification.pair();
    PairViewController* vc = notification.vc();
    ASSERT_NE(vc, nullptr);
    QTest::keyClicks(vc->textfield(), QStringLiteral("127.0.0.2"));
    QTest::keyClick(vc->textfield(), Qt::Key_Enter);
    ASSERT_TRUE(waitFor([&] { return host.completions == 1; }));
    EXPECT_FALSE(vc->window()->isVisible()) << "hidden by the notification view";

    // Cancel while the fetch runs: the accessory is still written.
    notification.pair();
    vc->OKButton()->click();
    vc->CancelButton()->click();
    EXPECT_FALSE(vc->window()->isVisible());
    ASSERT_TRUE(waitFor([&] { return host.completions == 2; }));
    EXPECT_EQ(host.written.size(), 2u);
}

} // namespace

namespace {

TEST_F(PairWindow, ThePopoversDevicePairingButtonOpensOneWindow)
{
    PopoverUserInterface ui;
    ui.setPairingEnvironment(environment());
    ui.toggle();
    QAbstractButton* button = ui.notificationViewController()->pairingButton();
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    PairViewController* vc = ui.notificationViewController()->vc();
    ASSERT_NE(vc, nullptr);
    EXPECT_TRUE(vc->window()->isVisible());
    vc->window()->hide();
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(ui.notificationViewController()->vc(), vc);
    EXPECT_TRUE(vc->window()->isVisible());
}

} // namespace
