// The host-control policy as the user meets it: requests from a fake conference transmitter,
// questions and guest dialogs in the real popover (offscreen), answered through their
// buttons and switches.
#include "Pikora/HostControl/HostControlPolicyExecuter.h"

#include "FakeConferenceTransmitter.h"
#include "Pikora/UI/Dialog.h"
#include "Pikora/UI/NotificationViewController.h"
#include "Pikora/UI/PreferenceKeys.h"
#include "tests/UI/UiTestSupport.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <optional>
#include <thread>

namespace {

using Calls = ReplyLog::Calls;

const QString kAnnaIP = QStringLiteral("127.0.0.2");
const QString kBenIP = QStringLiteral("127.0.0.3");

// Runs the main queue until the chains of queued blocks have played out.
void settle()
{
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

class HostControlTest : public PopoverTest
{
protected:
    void SetUp() override
    {
        PopoverTest::SetUp();
        transmitter = std::make_shared<FakeConferenceTransmitter>();
        executer = HostControlPolicyExecuter::create(*ui, *defaults, [this] { return currentTransmitter(); });
    }

    void TearDown() override
    {
        executer.reset();
        settle();
        PopoverTest::TearDown();
    }

    std::shared_ptr<KPDataTransmitter> currentTransmitter()
    {
        std::lock_guard lock(m_transmitterMutex);
        if (m_lookupsLeft) {
            if (*m_lookupsLeft == 0)
                return nullptr;
            --*m_lookupsLeft;
        }
        return m_connected ? transmitter : nullptr;
    }
    void setConnected(bool connected)
    {
        std::lock_guard lock(m_transmitterMutex);
        m_connected = connected;
        m_lookupsLeft.reset();
    }
    // The link stays up for the next `lookups` looks at it, then goes.
    void disconnectAfter(int lookups)
    {
        std::lock_guard lock(m_transmitterMutex);
        m_lookupsLeft = lookups;
    }

    // A guest's request as Beamline delivers it; returns the log of its reply block.
    std::shared_ptr<ReplyLog> ask(const QString& ip, const QString& name, bool fullscreen = false,
                                  bool* kept = nullptr)
    {
        auto log = std::make_shared<ReplyLog>();
        if (fullscreen) {
            executer->hostControlDidReceiveAskFullscreen(transmitter.get(), ip, name, log->block());
        } else {
            const bool queued = executer->transmitterHostControlDidReceiveAskRequestStream(
                transmitter.get(), ip, name, log->block());
            if (kept)
                *kept = queued;
        }
        return log;
    }

    void cancel(const QString& ip)
    {
        executer->transmitterHostControlDidReceiveCancelRequestStream(transmitter.get(), ip);
    }

    Dialog* shownDialog() const { return ui->isPopoverShown() ? ui->dialog() : nullptr; }

    QList<QPushButton*> shownButtons() const
    {
        Dialog* dialog = shownDialog();
        if (!dialog)
            return {};
        for (int n = 1; n <= 3; ++n) {
            if (dialog->currentContainer() && dialog->currentContainer() == dialog->container(n))
                return dialog->buttons(n);
        }
        return {};
    }

    QStringList shownOptions() const
    {
        QStringList out;
        for (QPushButton* button : shownButtons())
            out << button->text();
        return out;
    }

    QString shownTitle() const { return shownDialog() ? shownDialog()->titleLabel()->text() : QString(); }
    QString shownMessage() const { return shownDialog() ? shownDialog()->messageLabel()->text() : QString(); }

    // Presses the shown dialog's button with this caption (the real button, through its click).
    void press(const QString& caption)
    {
        for (QPushButton* button : shownButtons()) {
            if (button->text() == caption) {
                button->click();
                return;
            }
        }
        ADD_FAILURE() << "no shown button " << caption.toStdString() << " among "
                      << shownOptions().join(QLatin1Char('|')).toStdString();
    }

    std::shared_ptr<FakeConferenceTransmitter> transmitter;
    std::shared_ptr<HostControlPolicyExecuter> executer;

private:
    std::mutex m_transmitterMutex;
    bool m_connected = true;
    std::optional<int> m_lookupsLeft;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Automatic answers and the preferences

TEST_F(HostControlTest, DoNotDisturbAndAllowAutomaticallyAnswerBothKindsWithoutQueueing)
{
    defaults->setBool(kVistrelPreferenceDoNotDisturb, true);
    bool kept = true;
    auto ordinary = ask(kAnnaIP, QStringLiteral("Anna"), false, &kept);
    EXPECT_FALSE(kept);
    EXPECT_EQ(ordinary->calls(), (Calls{{false, 1}})) << "answered on the caller's thread, at once";
    auto full = ask(kBenIP, QStringLiteral("Ben"), true);
    EXPECT_TRUE(full->calls().empty()) << "a full-screen request is decided on the main thread";
    settle();
    EXPECT_EQ(full->calls(), (Calls{{false, 1}}));

    defaults->setBool(kVistrelPreferenceAllowRequest, true);
    EXPECT_FALSE(defaults->boolForKey(kVistrelPreferenceDoNotDisturb))
        << "the two preferences exclude each other";
    auto allowed = ask(kAnnaIP, QStringLiteral("Anna"), false, &kept);
    EXPECT_FALSE(kept);
    auto allowedFull = ask(kBenIP, QStringLiteral("Ben"), true);
    settle();
    EXPECT_EQ(allowed->calls(), (Calls{{true, 1}}));
    EXPECT_EQ(allowedFull->calls(), (Calls{{true, 1}}));
    EXPECT_TRUE(executer->pendingRequest().isEmpty());
    EXPECT_FALSE(ui->isPopoverShown()) << "nothing was asked";

    executer->resetHostControlSetting();
    EXPECT_FALSE(executer->isAutoAllow());
    EXPECT_FALSE(executer->isDND());
    auto asked = ask(kAnnaIP, QStringLiteral("Anna"), false, &kept);
    EXPECT_TRUE(kept);
    settle();
    EXPECT_TRUE(asked->calls().empty());
    EXPECT_EQ(executer->pendingRequest().size(), 1);
    EXPECT_EQ(executer->requestInfoDict().size(), 1);
    EXPECT_NE(shownDialog(), nullptr);
}

TEST_F(HostControlTest, TurningOnePreferenceOnTurnsTheOtherOffWhileTheExecuterLives)
{
    defaults->setBool(kVistrelPreferenceDoNotDisturb, true);
    defaults->setBool(kVistrelPreferenceAllowRequest, true);
    EXPECT_FALSE(defaults->boolForKey(kVistrelPreferenceDoNotDisturb));
    defaults->setBool(kVistrelPreferenceDoNotDisturb, true);
    EXPECT_FALSE(defaults->boolForKey(kVistrelPreferenceAllowRequest));
    defaults->setBool(kVistrelPreferenceDoNotDisturb, false);
    EXPECT_FALSE(defaults->boolForKey(kVistrelPreferenceAllowRequest))
        << "turning one off changes nothing else";
    defaults->setBool(kVistrelPreferenceAllowRequest, true);
    defaults->setBool(kVistrelPreferenceAllowRequest, false);
    EXPECT_FALSE(defaults->boolForKey(kVistrelPreferenceDoNotDisturb));

    // The observation goes with the executer.
    executer.reset();
    settle();
    defaults->setBool(kVistrelPreferenceAllowRequest, true);
    defaults->setBool(kVistrelPreferenceDoNotDisturb, true);
    EXPECT_TRUE(defaults->boolForKey(kVistrelPreferenceAllowRequest));
}

// ---------------------------------------------------------------------------------------------
// The queue and the questions

TEST_F(HostControlTest, TwoGuestsQueueAndTheSecondIsAskedRightAfterTheFirstIsAnswered)
{
    auto anna = ask(kAnnaIP, QStringLiteral("Anna"));
    auto ben = ask(kBenIP, QStringLiteral("Ben"));
    settle();
    ASSERT_EQ(executer->pendingRequest().size(), 2);
    ASSERT_EQ(executer->requestInfoDict().size(), 2);
    ASSERT_NE(executer->currentAskRequest(), nullptr);
    EXPECT_EQ(executer->currentAskRequest()->identifier(), executer->pendingRequest().first());
    EXPECT_EQ(shownMessage(), QStringLiteral("Anna(127.0.0.2)"));

    press(QStringLiteral("Share Screen"));
    EXPECT_EQ(anna->calls(), (Calls{{true, 1}}));
    settle();
    EXPECT_EQ(shownMessage(), QStringLiteral("Ben(127.0.0.3)")) << "asked without another trigger";
    EXPECT_EQ(shownOptions(), (QStringList{QStringLiteral("Replace Screen"), QStringLiteral("Share Screen"),
                                           QStringLiteral("Deny")}));
    EXPECT_TRUE(ben->calls().empty());
    EXPECT_EQ(executer->pendingRequest().size(), 1);

    press(QStringLiteral("Deny"));
    settle();
    EXPECT_EQ(ben->calls(), (Calls{{false, 1}}));
    EXPECT_TRUE(executer->pendingRequest().isEmpty());
    EXPECT_TRUE(executer->requestInfoDict().isEmpty());
    EXPECT_EQ(executer->currentAskRequest(), nullptr);
    EXPECT_FALSE(ui->isPopoverShown());
}

namespace {

struct QuestionCase
{
    const char* label;
    int version;
    bool fullscreen;
    const char* title;
    const char* message;
    QStringList options;
    const char* pressed;
    bool allow;
    int mode;
};

std::ostream& operator<<(std::ostream& os, const QuestionCase& c)
{
    return os << c.label;
}

const QStringList kTwo = {QStringLiteral("Allow"), QStringLiteral("Deny")};
const QStringList kThree = {QStringLiteral("Replace Screen"), QStringLiteral("Share Screen"),
                            QStringLiteral("Deny")};

class HostControlQuestion : public HostControlTest, public ::testing::WithParamInterface<QuestionCase>
{
};

} // namespace

TEST_P(HostControlQuestion, LayoutAndReplyFollowTheReceiverVersionAndRequestKind)
{
    const QuestionCase& c = GetParam();
    transmitter->conference.versionNumber = c.version;
    auto log = ask(kAnnaIP, QStringLiteral("Anna"), c.fullscreen);
    settle();
    EXPECT_EQ(shownTitle(), QString::fromUtf8(c.title));
    EXPECT_EQ(shownMessage(), QString::fromUtf8(c.message));
    EXPECT_EQ(shownOptions(), c.options);
    ASSERT_NE(executer->currentAskRequest(), nullptr);
    EXPECT_EQ(executer->currentAskRequest()->requestingFullscreen(), c.fullscreen);

    press(QString::fromUtf8(c.pressed));
    settle();
    EXPECT_EQ(log->calls(), (Calls{{c.allow, c.mode}}));
    EXPECT_TRUE(executer->pendingRequest().isEmpty());
    EXPECT_FALSE(ui->isPopoverShown());
}

INSTANTIATE_TEST_SUITE_P(
    Options, HostControlQuestion,
    ::testing::Values(
        QuestionCase{"v1_allow", 1, false, "Allow guest's request?", "Anna127.0.0.2", kTwo, "Allow", true, 2},
        QuestionCase{"v1_deny", 1, false, "Allow guest's request?", "Anna127.0.0.2", kTwo, "Deny", false, 2},
        QuestionCase{"v1_fullscreen_allow", 1, true, "Allow guest's request?", "Anna127.0.0.2", kTwo, "Allow",
                     true, 2},
        QuestionCase{"v2_replace", 2, false, "Allow guest's request?", "Anna(127.0.0.2)", kThree,
                     "Replace Screen", true, 2},
        QuestionCase{"v2_share", 2, false, "Allow guest's request?", "Anna(127.0.0.2)", kThree,
                     "Share Screen", true, 1},
        QuestionCase{"v2_deny", 2, false, "Allow guest's request?", "Anna(127.0.0.2)", kThree, "Deny", false,
                     1},
        QuestionCase{"v2_fullscreen_allow", 2, true, "Allow guest's fullscreen request?", "Anna(127.0.0.2)",
                     kTwo, "Allow", true, 2},
        QuestionCase{"v2_fullscreen_deny", 2, true, "Allow guest's fullscreen request?", "Anna(127.0.0.2)",
                     kTwo, "Deny", false, 2},
        QuestionCase{"v3_share", 3, false, "Allow guest's request?", "Anna(127.0.0.2)", kThree,
                     "Share Screen", true, 1}),
    [](const ::testing::TestParamInfo<QuestionCase>& info) { return std::string(info.param.label); });

TEST_F(HostControlTest, GuestsWithoutNameOrAddressAndGuestsWithMarkupAreShownAsText)
{
    auto nameless = ask(QString(), QString());
    settle();
    EXPECT_EQ(shownMessage(), QStringLiteral("No NAME(NO IPAddress)"));
    press(QStringLiteral("Deny"));
    settle();

    // A guest's name is the receiver's to choose: it must not be rendered as markup, and an
    // absurdly long one is cut.
    auto marked = ask(kAnnaIP, QStringLiteral("<b>Mallory</b><img src=x>"));
    settle();
    ASSERT_NE(shownDialog(), nullptr);
    EXPECT_EQ(shownDialog()->messageLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(shownMessage(), QStringLiteral("<b>Mallory</b><img src=x>(127.0.0.2)"));
    press(QStringLiteral("Deny"));
    settle();

    auto longName = ask(kAnnaIP, QString(5000, QLatin1Char('x')));
    settle();
    EXPECT_EQ(shownMessage(), QString(HostControlPolicyExecuter::kMaxClientNameLength, QLatin1Char('x')) +
                                  QStringLiteral("(127.0.0.2)"));
    press(QStringLiteral("Deny"));
    settle();
    EXPECT_EQ(nameless->calls(), (Calls{{false, 1}}));
    EXPECT_EQ(marked->calls(), (Calls{{false, 1}}));
    EXPECT_EQ(longName->calls(), (Calls{{false, 1}}));
}

TEST_F(HostControlTest, CancellingTheRequestOnScreenAsksTheNextCancellingOneFurtherBackLeavesTheDialog)
{
    auto anna = ask(kAnnaIP, QStringLiteral("Anna"));
    auto ben = ask(kBenIP, QStringLiteral("Ben"));
    auto annaAgain = ask(kAnnaIP, QStringLiteral("Anna again"));
    settle();
    ASSERT_EQ(shownMessage(), QStringLiteral("Anna(127.0.0.2)"));
    QPointer<Dialog> dialog = shownDialog();

    cancel(kBenIP); // further back
    settle();
    EXPECT_EQ(shownDialog(), dialog.data()) << "the question on screen stays";
    EXPECT_EQ(shownMessage(), QStringLiteral("Anna(127.0.0.2)"));
    EXPECT_EQ(executer->pendingRequest().size(), 2);
    EXPECT_EQ(executer->requestInfoDict().size(), 2);

    cancel(QStringLiteral("127.0.0.9")); // nobody's
    settle();
    EXPECT_EQ(executer->pendingRequest().size(), 2);

    cancel(kAnnaIP); // the oldest of that guest: the one on screen
    settle();
    EXPECT_EQ(shownMessage(), QStringLiteral("Anna again(127.0.0.2)")) << "the next request is asked";
    EXPECT_EQ(executer->pendingRequest().size(), 1);

    press(QStringLiteral("Replace Screen"));
    settle();
    EXPECT_TRUE(anna->calls().empty()) << "a withdrawn request gets no reply";
    EXPECT_TRUE(ben->calls().empty());
    EXPECT_EQ(annaAgain->calls(), (Calls{{true, 2}}));
    EXPECT_FALSE(ui->isPopoverShown());
}

TEST_F(HostControlTest, RequestWhileNotHostGetsNoReplyAndNoQueueEntry)
{
    transmitter->conference.role = 2; // guest
    bool kept = false;
    auto asGuest = ask(kAnnaIP, QStringLiteral("Anna"), false, &kept);
    auto fullAsGuest = ask(kBenIP, QStringLiteral("Ben"), true);
    settle();
    EXPECT_TRUE(kept);
    EXPECT_TRUE(asGuest->calls().empty());
    EXPECT_TRUE(fullAsGuest->calls().empty());
    EXPECT_TRUE(executer->pendingRequest().isEmpty());
    EXPECT_TRUE(executer->requestInfoDict().isEmpty());
    EXPECT_FALSE(ui->isPopoverShown());
    // Both blocks are released, so Beamline answers "deny" for them itself.
    EXPECT_EQ(asGuest.use_count(), 1);
    EXPECT_EQ(fullAsGuest.use_count(), 1);

    setConnected(false); // no transmitter at all: not the host either
    transmitter->conference.role = 1;
    auto unlinked = ask(kAnnaIP, QStringLiteral("Anna"));
    settle();
    EXPECT_TRUE(unlinked->calls().empty());
    EXPECT_TRUE(executer->pendingRequest().isEmpty());
}

TEST_F(HostControlTest, DoNotDisturbSwitchedOnWhileAskingLetsTheQuestionStandAndDeniesTheRest)
{
    auto anna = ask(kAnnaIP, QStringLiteral("Anna"));
    auto ben = ask(kBenIP, QStringLiteral("Ben"));
    settle();
    Dialog* dialog = shownDialog();
    ASSERT_NE(dialog, nullptr);

    dialog->autoAllowSwitch()->click();
    EXPECT_TRUE(defaults->boolForKey(kVistrelPreferenceAllowRequest));
    dialog->dndSwitch()->click();
    settle();
    EXPECT_TRUE(defaults->boolForKey(kVistrelPreferenceDoNotDisturb));
    EXPECT_FALSE(defaults->boolForKey(kVistrelPreferenceAllowRequest)) << "do not disturb wins the last word";
    EXPECT_FALSE(dialog->autoAllowSwitch()->isChecked());
    EXPECT_EQ(shownMessage(), QStringLiteral("Anna(127.0.0.2)")) << "the question stays";

    press(QStringLiteral("Share Screen"));
    settle();
    EXPECT_EQ(anna->calls(), (Calls{{true, 1}})) << "answered as chosen";
    EXPECT_EQ(ben->calls(), (Calls{{false, 1}})) << "the queue behind it is denied automatically";
    EXPECT_TRUE(executer->pendingRequest().isEmpty());
    EXPECT_FALSE(ui->isPopoverShown());
}

TEST_F(HostControlTest, NoConferenceControllerKeepsTheHeadQueuedUntilTheNextStep)
{
    auto anna = ask(kAnnaIP, QStringLiteral("Anna"));
    settle();
    ASSERT_NE(shownDialog(), nullptr);
    press(QStringLiteral("Deny"));
    settle();

    auto ben = ask(kBenIP, QStringLiteral("Ben"));
    setConnected(false);
    settle();
    EXPECT_EQ(executer->pendingRequest().size(), 0) << "not the host any more: dropped at intake";

    setConnected(true);
    disconnectAfter(1); // the intake sees the host; the decision step finds no link
    auto carl = ask(QStringLiteral("127.0.0.4"), QStringLiteral("Carl"));
    settle();
    EXPECT_EQ(executer->pendingRequest().size(), 1);
    EXPECT_EQ(executer->currentAskRequest(), nullptr);
    EXPECT_FALSE(ui->isPopoverShown());

    setConnected(true);
    executer->checkRequest();
    settle();
    EXPECT_EQ(shownMessage(), QStringLiteral("Carl(127.0.0.4)"));
    press(QStringLiteral("Share Screen"));
    settle();
    EXPECT_EQ(carl->calls(), (Calls{{true, 1}}));
    EXPECT_TRUE(ben->calls().empty());
}

// ---------------------------------------------------------------------------------------------
// Once only, and nothing left waiting

TEST_F(HostControlTest, EachRequestIsAnsweredOnceEvenWhenPressedTwiceOrWithdrawnMeanwhile)
{
    auto anna = ask(kAnnaIP, QStringLiteral("Anna"));
    auto ben = ask(kBenIP, QStringLiteral("Ben"));
    auto carl = ask(QStringLiteral("127.0.0.4"), QStringLiteral("Carl"));
    settle();
    QList<QPushButton*> annaButtons = shownButtons();
    ASSERT_EQ(annaButtons.size(), 3);
    annaButtons.at(2)->click(); // Deny
    annaButtons.at(0)->click(); // Replace Screen, before the dialog has gone
    settle();
    EXPECT_EQ(anna->calls(), (Calls{{false, 1}}));
    EXPECT_EQ(shownMessage(), QStringLiteral("Ben(127.0.0.3)"))
        << "the double press did not disturb the queue";

    // The guest withdraws; an answer to it that comes later (a press that raced the
    // dismissal) is not passed on.
    const auto benRequest = executer->currentAskRequest();
    ASSERT_NE(benRequest, nullptr);
    cancel(kBenIP);
    settle();
    EXPECT_EQ(shownMessage(), QStringLiteral("Carl(127.0.0.4)"));
    executer->userFeedbackWithTask(benRequest, true, true);
    settle();
    EXPECT_TRUE(ben->calls().empty());
    EXPECT_EQ(shownMessage(), QStringLiteral("Carl(127.0.0.4)"));
    EXPECT_EQ(executer->pendingRequest().size(), 1);
    press(QStringLiteral("Share Screen"));
    settle();
    EXPECT_EQ(carl->calls(), (Calls{{true, 1}}));
}

TEST_F(HostControlTest, RequestsStillQueuedAreDeniedWhenTheExecuterGoes)
{
    auto anna = ask(kAnnaIP, QStringLiteral("Anna"));
    auto ben = ask(kBenIP, QStringLiteral("Ben"), true);
    settle();
    ASSERT_EQ(executer->pendingRequest().size(), 2);
    QList<QPushButton*> buttons = shownButtons();
    ASSERT_FALSE(buttons.isEmpty());
    auto inFlight = ask(QStringLiteral("127.0.0.4"), QStringLiteral("Carl")); // its intake has not run

    executer.reset(); // the next receiver connection replaces it
    EXPECT_EQ(anna->calls(), (Calls{{false, 1}}));
    EXPECT_EQ(ben->calls(), (Calls{{false, 1}}));

    // The old question does nothing any more.
    buttons.at(0)->click();
    settle();
    EXPECT_EQ(anna->calls(), (Calls{{false, 1}}));
    EXPECT_TRUE(inFlight->calls().empty());
    EXPECT_EQ(inFlight.use_count(), 1) << "released, so Beamline denies it";
}

TEST_F(HostControlTest, QueueIsBoundedAndRefusesTheNewestPastTheBound)
{
    std::vector<std::shared_ptr<ReplyLog>> logs;
    for (int i = 0; i < HostControlPolicyExecuter::kMaxPendingRequests; ++i)
        logs.push_back(ask(QStringLiteral("127.0.1.%1").arg(i + 1), QStringLiteral("Guest %1").arg(i)));
    auto late = ask(QStringLiteral("127.0.2.1"), QStringLiteral("Late"));
    settle();
    EXPECT_EQ(executer->pendingRequest().size(), HostControlPolicyExecuter::kMaxPendingRequests);
    EXPECT_EQ(late->calls(), (Calls{{false, 1}}));
    for (const auto& log : logs)
        EXPECT_TRUE(log->calls().empty());
    EXPECT_EQ(shownMessage(), QStringLiteral("Guest 0(127.0.1.1)"));
}

// ---------------------------------------------------------------------------------------------
// Guest side

TEST_F(HostControlTest, WaitingDialogCancelWithdrawsTheRequestAndReturnsToReady)
{
    executer->transmitterHostControlWaitForResponse(transmitter.get());
    EXPECT_FALSE(executer->isQueryingHost()) << "set on the main thread";
    settle();
    EXPECT_TRUE(executer->isQueryingHost());
    EXPECT_TRUE(executer->isHostControlAsking());
    EXPECT_EQ(shownTitle(), QStringLiteral("Waiting for host's reply"));
    EXPECT_EQ(shownOptions(), QStringList{QStringLiteral("Cancel")});

    press(QStringLiteral("Cancel"));
    EXPECT_EQ(transmitter->cancels.load(), 1);
    EXPECT_FALSE(executer->isQueryingHost());
    settle();
    EXPECT_EQ(ui->dialog(), nullptr);
    // The controller was told before the dialog went, and the "ready" notice it shows outlives
    // the dismissal.
    EXPECT_TRUE(showsNotification());
    EXPECT_EQ(PopoverTest::shownMessage(), QStringLiteral("Pikora is ready"));
}

TEST_F(HostControlTest, HostsAcceptanceClosesTheWaitAndItsDenialIsShownUntilAcknowledged)
{
    ui->setDialogMessage(QStringLiteral("earlier message"));
    executer->transmitterHostControlWaitForResponse(transmitter.get());
    settle();
    EXPECT_EQ(shownMessage(), QStringLiteral("earlier message")) << "the waiting dialog sets no message";
    executer->transmitterHostControlHostDidAcceptRequest(transmitter.get());
    settle();
    EXPECT_FALSE(executer->isQueryingHost());
    EXPECT_FALSE(ui->isPopoverShown());
    EXPECT_EQ(transmitter->cancels.load(), 0);

    executer->transmitterHostControlWaitForResponse(transmitter.get());
    settle();
    executer->transmitterHostControlDenyFromHost(transmitter.get());
    settle();
    EXPECT_FALSE(executer->isQueryingHost());
    EXPECT_EQ(shownTitle(), QStringLiteral("Host denied your request"));
    EXPECT_EQ(shownOptions(), QStringList{QStringLiteral("OK")});
    press(QStringLiteral("OK"));
    settle();
    EXPECT_EQ(ui->dialog(), nullptr);
    EXPECT_TRUE(showsNotification());
    EXPECT_EQ(PopoverTest::shownMessage(), QStringLiteral("Pikora is ready"));
    EXPECT_EQ(transmitter->cancels.load(), 0);
}

TEST_F(HostControlTest, WaitingDialogCancelDoesNotReachATransmitterThatWasReplaced)
{
    executer->transmitterHostControlWaitForResponse(transmitter.get());
    settle();
    auto old = transmitter;
    transmitter = std::make_shared<FakeConferenceTransmitter>(); // the provider now returns the new one
    old.reset();
    press(QStringLiteral("Cancel"));
    settle();
    EXPECT_EQ(transmitter->cancels.load(), 0);
    EXPECT_FALSE(executer->isQueryingHost());
    EXPECT_EQ(ui->dialog(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Beamline's link thread

TEST_F(HostControlTest, CallbacksFromTheLinkThreadAreQueuedInArrivalOrder)
{
    constexpr int kGuests = 10;
    std::vector<std::shared_ptr<ReplyLog>> logs(kGuests);
    std::atomic<bool> done{false};
    KPDataTransmitter* raw = transmitter.get();
    std::thread link([&] {
        for (int i = 0; i < kGuests; ++i) {
            logs[i] = std::make_shared<ReplyLog>();
            executer->transmitterHostControlDidReceiveAskRequestStream(
                raw, QStringLiteral("127.0.0.%1").arg(10 + i), QStringLiteral("G%1").arg(i),
                logs[i]->block());
        }
        executer->transmitterHostControlDidReceiveCancelRequestStream(raw, QStringLiteral("127.0.0.12"));
        executer->transmitterHostControlDidReceiveCancelRequestStream(raw, QStringLiteral("127.0.0.15"));
        executer->resetHostControlSetting();
        done = true;
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    link.join();
    settle();

    QStringList asked;
    for (int guard = 0; guard < kGuests && shownDialog(); ++guard) {
        asked << shownMessage();
        press(QStringLiteral("Share Screen"));
        settle();
    }
    QStringList expected;
    for (int i = 0; i < kGuests; ++i) {
        if (i != 2 && i != 5)
            expected << QStringLiteral("G%1(127.0.0.%2)").arg(i).arg(10 + i);
    }
    EXPECT_EQ(asked, expected);
    for (int i = 0; i < kGuests; ++i)
        EXPECT_EQ(logs[i]->calls(), (i == 2 || i == 5) ? Calls{} : (Calls{{true, 1}})) << "guest " << i;
    EXPECT_TRUE(executer->pendingRequest().isEmpty());
}

TEST_F(HostControlTest, LastOwnerReleasedOnTheLinkThreadDestroysTheExecuterOnTheMainThread)
{
    std::atomic<QThread*> deniedOn{nullptr};
    executer->transmitterHostControlDidReceiveAskRequestStream(
        transmitter.get(), kAnnaIP, QStringLiteral("Anna"),
        [&deniedOn](bool, int) { deniedOn = QThread::currentThread(); });
    settle();
    std::shared_ptr<HostControlPolicyExecuter> held = std::move(executer);
    std::thread link([held = std::move(held)]() mutable { held.reset(); });
    link.join();
    EXPECT_EQ(deniedOn.load(), nullptr) << "destruction waits for the main thread";
    settle();
    EXPECT_EQ(deniedOn.load(), QCoreApplication::instance()->thread());
}
