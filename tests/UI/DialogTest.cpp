#include "Pikora/UI/Dialog.h"

#include "Pikora/UI/ActionTrampoline.h"
#include "Pikora/UI/PopoverWindow.h"
#include "Pikora/UI/PreferenceKeys.h"
#include "UiTestSupport.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

namespace {

QStringList captions(const QList<QPushButton*>& buttons)
{
    QStringList out;
    for (QPushButton* b : buttons)
        out << b->text();
    return out;
}

// Buttons of the dialog's view that a user can see.
QList<QPushButton*> visibleButtons(Dialog* dialog)
{
    QList<QPushButton*> out;
    for (QPushButton* b : dialog->view()->findChildren<QPushButton*>()) {
        if (b->isVisibleTo(dialog->view()))
            out << b;
    }
    return out;
}

class OptionDialog : public PopoverTest
{
protected:
    // Builds and commits a dialog; each option's block records "<caption>:<argument>".
    void commit(const QString& title, const QString& message, const QStringList& options)
    {
        if (!title.isNull())
            ui->setDialogTitle(title);
        if (!message.isNull())
            ui->setDialogMessage(message);
        for (const QString& option : options)
            ui->addDialogWithOption(option,
                                    [this, option](const QString& arg) { ran << option + ":" + arg; });
        ui->commitDialog();
    }

    QStringList ran;
};

TEST_F(OptionDialog, ThreeOptionsFillTheThreeButtonRowInOrder)
{
    commit(QStringLiteral("Guest request"), QStringLiteral("Anna wants to project"),
           {QStringLiteral("Replace Screen"), QStringLiteral("Share Screen"), QStringLiteral("Deny")});
    Dialog* dialog = ui->dialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(ui->isPopoverShown());
    EXPECT_EQ(dialog->currentContainer(), dialog->container(3));
    EXPECT_EQ(captions(dialog->buttons(3)),
              (QStringList{QStringLiteral("Replace Screen"), QStringLiteral("Share Screen"),
                           QStringLiteral("Deny")}));
    EXPECT_EQ(dialog->titleLabel()->text(), QStringLiteral("Guest request"));
    EXPECT_EQ(dialog->messageLabel()->text(), QStringLiteral("Anna wants to project"));

    dialog->buttons(3).at(1)->click();
    EXPECT_EQ(ran, QStringList{QStringLiteral("Share Screen:Share Screen")});
}

TEST_F(OptionDialog, RecommitWhileVisibleReplacesTheRowInPlace)
{
    commit(QStringLiteral("First"), QStringLiteral("three"),
           {QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")});
    Dialog* dialog = ui->dialog();
    ASSERT_NE(dialog, nullptr);

    commit(QStringLiteral("Second"), QStringLiteral("two"), {QStringLiteral("Yes"), QStringLiteral("No")});
    EXPECT_EQ(ui->dialog(), dialog) << "a visible dialog is updated, not replaced";
    EXPECT_TRUE(ui->isPopoverShown());
    EXPECT_EQ(dialog->currentContainer(), dialog->container(2));
    EXPECT_EQ(dialog->container(3)->parentWidget(), nullptr) << "the three-button row stayed in the view";
    EXPECT_EQ(captions(visibleButtons(dialog)), (QStringList{QStringLiteral("Yes"), QStringLiteral("No")}));
    EXPECT_EQ(dialog->titleLabel()->text(), QStringLiteral("Second"));
    EXPECT_EQ(dialog->messageLabel()->text(), QStringLiteral("two"));

    // The rows outside the view no longer act, and the new buttons run the new blocks only.
    dialog->buttons(3).at(0)->click();
    dialog->buttons(2).at(1)->click();
    EXPECT_EQ(ran, QStringList{QStringLiteral("No:No")});
}

TEST_F(OptionDialog, TitleAndMessagePersistButOptionsAreConsumed)
{
    commit(QStringLiteral("Title"), QStringLiteral("Earlier message"), {QStringLiteral("OK")});
    ui->dismissDialog();
    EXPECT_FALSE(ui->isPopoverShown());
    EXPECT_EQ(ui->popoverContent(), nullptr);

    commit(QStringLiteral("Only a title"), QString(), {QStringLiteral("Fine")});
    Dialog* dialog = ui->dialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->mainTitle(), QStringLiteral("Only a title"));
    EXPECT_EQ(dialog->messageLabel()->text(), QStringLiteral("Earlier message"));
    // "OK" from the first commit is gone: one option, one button.
    EXPECT_EQ(captions(visibleButtons(dialog)), QStringList{QStringLiteral("Fine")});
}

TEST_F(OptionDialog, ToggleAwayAndBackShowsTheSameWorkingDialog)
{
    commit(QStringLiteral("Waiting"), QStringLiteral("for the host"), {QStringLiteral("Cancel")});
    Dialog* dialog = ui->dialog();
    ASSERT_NE(dialog, nullptr);

    ui->toggle();
    EXPECT_FALSE(ui->isPopoverShown());
    drainEvents();
    ui->toggle();
    ASSERT_TRUE(ui->isPopoverShown());
    EXPECT_EQ(ui->dialog(), dialog);
    // Escape closes the popover the same way and keeps the dialog too.
    QTest::keyClick(ui->popoverWindow(), Qt::Key_Escape);
    drainEvents();
    EXPECT_FALSE(ui->isPopoverShown());
    ui->toggle();
    ASSERT_EQ(ui->dialog(), dialog);
    // So does a request to close the window (a window manager's close shortcut).
    ui->popoverWindow()->close();
    drainEvents();
    EXPECT_FALSE(ui->isPopoverShown());
    ui->toggle();
    ASSERT_EQ(ui->dialog(), dialog);
    EXPECT_EQ(dialog->messageLabel()->text(), QStringLiteral("for the host"));
    dialog->buttons(1).at(0)->click();
    EXPECT_EQ(ran, QStringList{QStringLiteral("Cancel:Cancel")});
}

TEST_F(OptionDialog, CommitAfterDismissBuildsAFreshDialogAndToggleFallsBackToTheNotification)
{
    commit(QStringLiteral("One"), QStringLiteral("m"), {QStringLiteral("A")});
    QPointer<Dialog> first = ui->dialog();
    ui->dismissDialog();
    drainEvents();
    EXPECT_TRUE(first.isNull()) << "a dismissed dialog is released";

    ui->toggle();
    EXPECT_TRUE(showsNotification());
    ui->toggle();

    commit(QStringLiteral("Two"), QString(), {QStringLiteral("B")});
    ASSERT_NE(ui->dialog(), nullptr);
    EXPECT_TRUE(ui->isPopoverShown());
}

TEST_F(OptionDialog, ButtonActionMayDismissOrRecommitTheDialogItBelongsTo)
{
    // What the host-control policy does: a press answers and closes or replaces the dialog.
    ui->setDialogTitle(QStringLiteral("Request"));
    ui->addDialogWithOption(QStringLiteral("Deny"), [this](const QString&) { ui->dismissDialog(); });
    ui->addDialogWithOption(QStringLiteral("Wait"), [this](const QString&) {
        ui->setDialogMessage(QStringLiteral("waiting"));
        ui->addDialogWithOption(QStringLiteral("Stop"), [this](const QString& arg) { ran << arg; });
        ui->commitDialog();
    });
    ui->commitDialog();
    Dialog* dialog = ui->dialog();
    ASSERT_NE(dialog, nullptr);

    dialog->buttons(2).at(1)->click(); // re-commit from inside the button's own action
    drainEvents();
    ASSERT_EQ(ui->dialog(), dialog);
    EXPECT_EQ(dialog->messageLabel()->text(), QStringLiteral("waiting"));
    dialog->buttons(1).at(0)->click();
    EXPECT_EQ(ran, QStringList{QStringLiteral("Stop")});

    ui->addDialogWithOption(QStringLiteral("Deny"), [this](const QString&) { ui->dismissDialog(); });
    ui->commitDialog();
    ui->dialog()->buttons(1).at(0)->click(); // dismiss from inside the action
    drainEvents();
    EXPECT_FALSE(ui->isPopoverShown());
    EXPECT_EQ(ui->popoverContent(), nullptr);
}

// Collects the diagnostic lines logged while it exists.
class LogCapture
{
public:
    LogCapture()
    {
        s_lines.clear();
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    static QStringList lines() { return s_lines; }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& message) { s_lines << message; }
    static inline QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};

TEST_F(OptionDialog, CountsOutsideOneToThreeShowTitleAndMessageWithoutButtons)
{
    const LogCapture log;
    for (const QStringList& options :
         {QStringList{},
          QStringList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4")}}) {
        commit(QStringLiteral("Odd"), QStringLiteral("no row"), options);
        Dialog* dialog = ui->dialog();
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->currentContainer(), nullptr);
        EXPECT_TRUE(visibleButtons(dialog).isEmpty());
        EXPECT_EQ(dialog->messageLabel()->text(), QStringLiteral("no row"));
        ui->dismissDialog();
    }
    EXPECT_EQ(LogCapture::lines().count(QStringLiteral("error")), 2);
}

TEST_F(OptionDialog, DuplicateCaptionTakesTwoButtonsThatBothRunTheLastBlock)
{
    int first = 0, last = 0;
    ui->addDialogWithOption(QStringLiteral("Same"), [&](const QString&) { ++first; });
    ui->addDialogWithOption(QStringLiteral("Same"), [&](const QString&) { ++last; });
    ui->commitDialog();
    const QList<QPushButton*> buttons = ui->dialog()->buttons(2);
    EXPECT_EQ(captions(buttons), (QStringList{QStringLiteral("Same"), QStringLiteral("Same")}));
    buttons.at(0)->click();
    buttons.at(1)->click();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 2);
}

TEST(DialogSetup, ButtonWhoseCaptionHasNoActionDoesNothing)
{
    QTemporaryDir dir;
    UserDefaults defaults(dir.filePath(QStringLiteral("d.ini")));
    Dialog dialog(defaults);
    int ran = 0;
    dialog.setup(QStringLiteral("t"), QStringLiteral("m"),
                 {QStringLiteral("Known"), QStringLiteral("Unknown")},
                 {{QStringLiteral("Known"), [&](const QString&) { ++ran; }}});
    dialog.buttons(2).at(1)->click();
    EXPECT_EQ(ran, 0);
    dialog.buttons(2).at(0)->click();
    EXPECT_EQ(ran, 1);
}

TEST_F(OptionDialog, SwitchesReadAndWriteTheHostControlPreferences)
{
    defaults->setBool(kVistrelPreferenceDoNotDisturb, true);
    commit(QStringLiteral("t"), QStringLiteral("m"), {QStringLiteral("OK")});
    Dialog* dialog = ui->dialog();
    QCheckBox* autoAllow = dialog->autoAllowSwitch();
    QCheckBox* dnd = dialog->dndSwitch();
    EXPECT_EQ(autoAllow->text(), QStringLiteral("Allow requests automatically"));
    EXPECT_EQ(dnd->text(), QStringLiteral("Do not disturb"));
    EXPECT_FALSE(autoAllow->isChecked());
    EXPECT_TRUE(dnd->isChecked());

    QTest::mouseClick(autoAllow, Qt::LeftButton);
    EXPECT_TRUE(defaults->boolForKey(kVistrelPreferenceAllowRequest));
    dnd->click();
    EXPECT_FALSE(defaults->boolForKey(kVistrelPreferenceDoNotDisturb));

    // A change made elsewhere shows on the switch without being written back.
    int writes = 0;
    QObject::connect(defaults.get(), &UserDefaults::valueChanged, [&] { ++writes; });
    defaults->setBool(kVistrelPreferenceAllowRequest, false);
    EXPECT_FALSE(autoAllow->isChecked());
    EXPECT_EQ(writes, 1);
}

TEST(ActionClosure, ReplacingReleasesThePreviousClosureAndClearingKeepsIt)
{
    QPushButton button;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    int first = 0, second = 0;
    setActionClosure(&button, [&, token](QAbstractButton*) { ++first; });
    token.reset();
    setActionClosure(&button, [&](QAbstractButton* sender) {
        EXPECT_EQ(sender, &button);
        ++second;
    });
    drainEvents();
    EXPECT_TRUE(watch.expired()) << "the replaced closure was not released";
    button.click();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);

    clearActionTarget(&button);
    button.click();
    EXPECT_EQ(second, 1);
    ASSERT_NE(actionTrampoline(&button), nullptr) << "clearing the target must keep the trampoline";
    EXPECT_FALSE(actionTrampoline(&button)->isAttached());
}

} // namespace
