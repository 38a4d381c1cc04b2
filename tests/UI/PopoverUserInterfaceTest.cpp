#include "Pikora/UI/AboutPanel.h"
#include "Pikora/UI/Images.h"
#include "Pikora/UI/PopoverWindow.h"
#include "Pikora/UI/StatusItem.h"
#include "Pikora/UI/StatusItemWindow.h"
#include "Support/BundleInfo.h"
#include "UiTestSupport.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <cmath>
#include <thread>

namespace {

using StatusItemAndPopover = PopoverTest;

TEST_F(StatusItemAndPopover, FirstToggleShowsTheProductNameAndSecondHidesIt)
{
    EXPECT_FALSE(ui->isPopoverShown());
    ui->toggle();
    ASSERT_TRUE(showsNotification());
    EXPECT_EQ(shownMessage(), QStringLiteral("Pikora"));
    EXPECT_TRUE(ui->statusItem()->isHighlighted());

    ui->toggle();
    EXPECT_FALSE(ui->isPopoverShown());
    EXPECT_FALSE(ui->statusItem()->isHighlighted());
    // The notification view survives being hidden and comes back with the same text.
    ui->toggle();
    EXPECT_TRUE(showsNotification());
    EXPECT_EQ(shownMessage(), QStringLiteral("Pikora"));
}

TEST_F(StatusItemAndPopover, PlainClickTogglesControlAndRightClickOpenTheMenu)
{
    StatusItemWindow* item = ui->statusItem()->window();
    ASSERT_NE(item, nullptr);
    ASSERT_FALSE(ui->statusItem()->usesSystemTray());

    QTest::mouseClick(item, Qt::LeftButton);
    EXPECT_TRUE(ui->isPopoverShown());
    QTest::mouseClick(item, Qt::LeftButton);
    EXPECT_FALSE(ui->isPopoverShown());

    QTest::mouseClick(item, Qt::LeftButton, Qt::ControlModifier);
    EXPECT_FALSE(ui->isPopoverShown()) << "a Control-click must not toggle";
    EXPECT_TRUE(ui->statusItem()->menu()->isVisible());
    ui->statusItem()->menu()->hide();

    QTest::mouseClick(item, Qt::RightButton);
    EXPECT_FALSE(ui->isPopoverShown());
    EXPECT_TRUE(ui->statusItem()->menu()->isVisible());
    ui->statusItem()->menu()->hide();
}

TEST_F(StatusItemAndPopover, OnlyAPopoverTheUserOpensMayTakeTheKeyboardFocus)
{
    auto keepsFocus = [this] {
        PopoverWindow* window = ui->popoverWindow();
        return window && window->testAttribute(Qt::WA_ShowWithoutActivating) &&
               window->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus);
    };
    // Notices and dialogs that Pikora shows by itself leave the focus where the user types.
    ui->showUserNotification(QStringLiteral("Connecting device"), QString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownMessage() == QStringLiteral("Connecting device"); }));
    EXPECT_TRUE(keepsFocus());
    ui->setDialogTitle(QStringLiteral("Allow guest's request?"));
    ui->addDialogWithOption(QStringLiteral("Allow"), [](const QString&) {});
    ui->commitDialog();
    ASSERT_NE(ui->dialog(), nullptr);
    EXPECT_TRUE(keepsFocus());
    ui->dismissDialog();
    // The popover the user opens from the status item takes it (Escape closes it).
    ui->toggle();
    ASSERT_TRUE(ui->isPopoverShown());
    EXPECT_FALSE(ui->popoverWindow()->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_FALSE(ui->popoverWindow()->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
}

TEST(TrayStatusItem, ControlClickOpensTheMenuAndAnIconWithoutGeometryAnchorsAtTheClick)
{
    StatusItem item(StatusItem::Presentation::SystemTray);
    ASSERT_TRUE(item.usesSystemTray());
    EXPECT_EQ(item.window(), nullptr);
    int toggles = 0;
    QObject::connect(&item, &StatusItem::toggleRequested, [&] { ++toggles; });

    item.handleClick(Qt::ControlModifier, QPoint(500, 10));
    EXPECT_EQ(toggles, 0);
    EXPECT_TRUE(item.menu()->isVisible());
    item.menu()->hide();

    item.handleClick(Qt::NoModifier, QPoint(600, 12));
    EXPECT_EQ(toggles, 1);
    // This platform does not tell where tray icons are: the popover hangs from the click.
    EXPECT_TRUE(item.anchorRect().contains(QPoint(600, 12)));
}

TEST_F(StatusItemAndPopover, MenuAndPairingButtonRunTheControllersActions)
{
    int about = 0, quit = 0, pair = 0;
    ui->setActions({[&] { ++about; }, [&] { ++quit; }, [&] { ++pair; }});

    ui->statusItem()->aboutAction()->trigger();
    ui->statusItem()->quitAction()->trigger();
    ui->toggle();
    QAbstractButton* pairing = ui->notificationViewController()->pairingButton();
    ASSERT_NE(pairing, nullptr);
    EXPECT_EQ(pairing->text(), QStringLiteral("Device Pairing"));
    pairing->click();
    pairing->click();
    EXPECT_EQ(about, 1);
    EXPECT_EQ(quit, 1);
    EXPECT_EQ(pair, 2);
}

TEST_F(StatusItemAndPopover, PopoverHangsUnderTheStatusItemInsideTheScreen)
{
    ui->toggle();
    PopoverWindow* window = ui->popoverWindow();
    ASSERT_NE(window, nullptr);
    const QRect anchor = ui->statusItem()->anchorRect();
    const QRect frame = window->geometry();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();

    EXPECT_EQ(window->arrowEdge(), PopoverWindow::ArrowEdge::Top);
    EXPECT_GT(frame.top(), anchor.bottom());
    EXPECT_LE(frame.top() - anchor.bottom(), PopoverWindow::AnchorGap + 1);
    // The item sits at the screen's right edge: the body shifts left, the arrow still points
    // at the item.
    EXPECT_TRUE(screen.contains(frame)) << "popover leaves the screen";
    EXPECT_EQ(frame.left() + window->arrowX(), anchor.center().x());
}

TEST_F(StatusItemAndPopover, EveryShowRecreatesTheWindowButKeepsTheContent)
{
    ui->showUserNotification(QStringLiteral("first"), QString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui->isPopoverShown(); }));
    QPointer<PopoverWindow> firstWindow = ui->popoverWindow();
    QWidget* view = ui->notificationViewController()->view();

    ui->showUserNotification(QStringLiteral("second"), QString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownMessage() == QStringLiteral("second"); }));
    drainEvents();
    EXPECT_TRUE(firstWindow.isNull()) << "the previous popover window was not released";
    ASSERT_NE(ui->popoverWindow(), nullptr);
    EXPECT_EQ(ui->popoverWindow()->content(), view);
    EXPECT_TRUE(view->isVisible());
}

TEST_F(StatusItemAndPopover, MessagesFromAnotherThreadAreShownInOrderOnTheMainThread)
{
    std::thread worker([this] {
        ui->showUserNotification(QStringLiteral("first"), QString());
        ui->showUserNotification(QStringLiteral("second"), QStringLiteral("ClickMirror"));
    });
    worker.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui->isPopoverShown(); }));
    drainEvents();
    EXPECT_TRUE(showsNotification());
    EXPECT_EQ(shownMessage(), QStringLiteral("second"));
    EXPECT_FALSE(ui->notificationViewController()->image().isNull());
}

TEST_F(StatusItemAndPopover, ReadyMessageShowsTheClickImage)
{
    ui->showIsReadyWithAutoDismiss(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui->isPopoverShown(); }));
    EXPECT_EQ(shownMessage(), QStringLiteral("Pikora is ready"));
    QLabel* image = ui->notificationViewController()->imageView();
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(image->isVisible());
    EXPECT_FALSE(image->pixmap().isNull());

    // A message without image hides the image view instead of showing the old picture.
    ui->showUserNotification(QStringLiteral("plain"), QString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownMessage() == QStringLiteral("plain"); }));
    EXPECT_FALSE(image->isVisible());
}

TEST(NotificationView, ImageSetBeforeTheViewLoadsIsShownWhenItDoes)
{
    NotificationViewController controller;
    controller.setImage(Images::named(QStringLiteral("ClickMirror")));
    controller.setMessage(QStringLiteral("hello"));
    EXPECT_FALSE(controller.isViewLoaded());

    controller.view()->show();
    ASSERT_NE(controller.imageView(), nullptr);
    EXPECT_FALSE(controller.imageView()->pixmap().isNull());
    EXPECT_EQ(controller.messageLabel()->text(), QStringLiteral("hello"));
    EXPECT_EQ(controller.appVersion(), BundleInfo::main().versionWithBuild());
    EXPECT_TRUE(controller.appVersion().contains(QLatin1Char('(')));
    EXPECT_FALSE(controller.appName().isEmpty());
}

TEST_F(StatusItemAndPopover, AlertsReturnTrueOnlyForOK)
{
    alerts->answer = 0;
    EXPECT_TRUE(ui->showOKAlertWithQuestion(QStringLiteral("Question"), QStringLiteral("Details")));
    alerts->answer = -1; // closed without a button
    EXPECT_FALSE(ui->showOKAlertWithQuestion(QString(), QString()));
    alerts->answer = 1;
    EXPECT_FALSE(ui->showOKCancelAlertWithQuestion(QStringLiteral("Replace?"), QString()));
    alerts->answer = 0;
    EXPECT_TRUE(ui->showOKCancelAlertWithQuestion(QStringLiteral("Replace?"), QString()));

    ASSERT_EQ(alerts->calls.size(), 4u);
    EXPECT_EQ(alerts->calls[0].messageText, QStringLiteral("Question"));
    EXPECT_EQ(alerts->calls[0].informativeText, QStringLiteral("Details"));
    EXPECT_EQ(alerts->calls[0].buttons, QStringList{QStringLiteral("OK")});
    EXPECT_EQ(alerts->calls[2].buttons, (QStringList{QStringLiteral("OK"), QStringLiteral("Cancel")}));
}

TEST_F(StatusItemAndPopover, SingleButtonAlertCarriesTheCallersCaption)
{
    ui->showAlert(QStringLiteral("Sorry"), QStringLiteral("Not compatible"),
                  QStringLiteral("Show instructions"));
    ASSERT_EQ(alerts->calls.size(), 1u);
    EXPECT_EQ(alerts->calls[0].messageText, QStringLiteral("Sorry"));
    EXPECT_EQ(alerts->calls[0].buttons, QStringList{QStringLiteral("Show instructions")});
}

TEST_F(StatusItemAndPopover, AboutPanelShowsNameAndVersionAndIsReused)
{
    EXPECT_EQ(ui->aboutPanel(), nullptr);
    ui->showAbout();
    AboutPanel* panel = ui->aboutPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->nameText(), QStringLiteral("Pikora"));
    EXPECT_TRUE(panel->versionText().contains(BundleInfo::main().versionWithBuild()))
        << panel->versionText().toStdString();

    panel->hide();
    ui->showAbout();
    EXPECT_EQ(ui->aboutPanel(), panel);
    EXPECT_TRUE(panel->isVisible());
}

// Auto-dismiss runs on real timers, five times faster than in the product.
class AutoDismiss : public PopoverTest
{
protected:
    static constexpr double Scale = 0.2;
    AutoDismiss() : PopoverTest(Scale) {}

    // Milliseconds the popover takes to close after `seconds` of product time.
    static qint64 scaled(double seconds) { return qint64(seconds * 1000 * Scale); }

    void SetUp() override
    {
        PopoverTest::SetUp();
        clock.start();
        QObject::connect(ui.get(), &PopoverUserInterface::popoverHidden, [this] {
            if (hiddenAt < 0) {
                hiddenAt = clock.elapsed();
                messageWhenHidden = shownMessage();
            }
        });
    }

    bool waitUntilHidden(int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return hiddenAt >= 0; }, timeoutMs);
    }

    QElapsedTimer clock;
    qint64 hiddenAt = -1;
    QString messageWhenHidden;
};

TEST_F(AutoDismiss, NewerTimedMessageRestartsTheCountdown)
{
    const qint64 firstAt = clock.elapsed();
    ui->showUserNotification(QStringLiteral("first"), QString(), 3.0);
    QTest::qWait(int(scaled(1.0)));
    ASSERT_LT(hiddenAt, 0) << "the machine was too slow to observe the first message";
    const qint64 secondAt = clock.elapsed();
    ui->showUserNotification(QStringLiteral("second"), QString(), 3.0);

    ASSERT_TRUE(waitUntilHidden());
    EXPECT_EQ(messageWhenHidden, QStringLiteral("second"));
    EXPECT_GE(hiddenAt - secondAt, scaled(3.0)) << "closed by the first message's timer";
    EXPECT_GE(hiddenAt - firstAt, scaled(4.0));
}

TEST_F(AutoDismiss, UntimedMessageLeavesThePendingCountdownRunning)
{
    const qint64 firstAt = clock.elapsed();
    ui->showUserNotification(QStringLiteral("first"), QString(), 3.0);
    QTest::qWait(int(scaled(1.0)));
    ui->showUserNotification(QStringLiteral("untimed"), QString());

    ASSERT_TRUE(waitUntilHidden()) << "the untimed message cancelled the pending dismissal";
    EXPECT_EQ(messageWhenHidden, QStringLiteral("untimed"));
    EXPECT_GE(hiddenAt - firstAt, scaled(3.0));
}

TEST_F(AutoDismiss, CancelledCountdownLeavesTheMessageShown)
{
    ui->showUserNotification(QStringLiteral("kept"), QString(), 1.0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui->isPopoverShown(); }));
    ui->cancelAutoDismissTimer();
    QTest::qWait(int(scaled(2.0)));
    EXPECT_TRUE(showsNotification());
    EXPECT_EQ(shownMessage(), QStringLiteral("kept"));
}

TEST_F(AutoDismiss, PendingCountdownNeverClosesADialog)
{
    ui->showUserNotification(QStringLiteral("soon gone"), QString(), 1.0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui->isPopoverShown(); }));
    ui->setDialogTitle(QStringLiteral("Guest"));
    ui->setDialogMessage(QStringLiteral("wants to project"));
    ui->addDialogWithOption(QStringLiteral("Allow"), [](const QString&) {});
    ui->commitDialog();
    ASSERT_NE(ui->dialog(), nullptr);

    QTest::qWait(int(scaled(2.0)));
    EXPECT_TRUE(ui->isPopoverShown());
    EXPECT_NE(ui->dialog(), nullptr);
    EXPECT_LT(hiddenAt, 0);
}

TEST_F(AutoDismiss, DeniedRequestShowsReadyAndClosesAfterTheNotificationDuration)
{
    const qint64 shownAt = clock.elapsed();
    ui->hostDidDenyProjectionRequest();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui->isPopoverShown(); }));
    EXPECT_EQ(shownMessage(), QStringLiteral("Pikora is ready"));
    ASSERT_TRUE(waitUntilHidden());
    EXPECT_GE(hiddenAt - shownAt, scaled(PopoverUserInterface::NotificationDuration));
}

TEST_F(AutoDismiss, NonsenseDurationsCloseAtOnceInsteadOfNever)
{
    ui->showUserNotification(QStringLiteral("nan"), QString(), std::nan(""));
    ASSERT_TRUE(waitUntilHidden(2000));
    hiddenAt = -1;
    ui->showUserNotification(QStringLiteral("negative"), QString(), -5.0);
    ASSERT_TRUE(waitUntilHidden(2000));
    EXPECT_EQ(messageWhenHidden, QStringLiteral("negative"));
}

} // namespace
