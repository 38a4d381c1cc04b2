#pragma once

// The receiver's conference host-control policy, for one receiver connection.
//
// As host: guests' projection requests are answered at once under "do not disturb" (deny)
// or "allow requests automatically" (allow), or queued and put to the user in the popover,
// one question at a time in arrival order. A guest may withdraw its request; the question
// on screen then makes way for the next one.
// As guest: while the receiver's host decides, a waiting dialog offers Cancel; a denial is
// shown until the user acknowledges it.
//
// Threads. Beamline calls the delegate operations on its link thread. Only the ordinary
// request's automatic answers are decided there (they read only the preferences); every
// change to the queue, the question on screen and the dialogs happens on the main thread,
// in blocks queued in call order. The executer is made on the main thread and is always
// destroyed there (create() hands out owners whose last release from another thread defers
// the destruction to the main thread).
//
// Answers. Every request gets at most one reply. A request still queued when the executer
// goes (the next receiver connection replaces it) is denied, (false, 1), so no guest waits
// for a host that has forgotten it. A request that arrives while this sender is not the host
// is released unanswered; Beamline then denies it itself.
//
// The queue holds at most kMaxPendingRequests requests; a request past the bound is denied
// at once, (false, 1), and the queue is left as it was.

#include "Pikora/App/HostControlPolicy.h"
#include "Pikora/HostControl/AppLogic.h"
#include "Pikora/HostControl/KPHostControlRequest.h"

#include <QCoreApplication>
#include <QHash>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>

class KPDataTransmitter;
class KPDataTransmitterConferenceControl;
class QObject;
class UserDefaults;
class UserInterface;

class HostControlPolicyExecuter : public HostControlPolicy,
                                  public AppLogic,
                                  public std::enable_shared_from_this<HostControlPolicyExecuter>
{
    Q_DECLARE_TR_FUNCTIONS(HostControlPolicyExecuter)

public:
    // The connected receiver's transmitter (KPDeviceController::transmitter()); may return
    // null. Called from any thread.
    using TransmitterProvider = std::function<std::shared_ptr<KPDataTransmitter>()>;
    using Factory = std::function<std::shared_ptr<HostControlPolicy>()>;

    static constexpr int kMaxPendingRequests = 32;
    // Longer guest names are cut to this many characters when a request is queued.
    static constexpr int kMaxClientNameLength = 100;

    // Makes an executer; main thread only. `ui` (the dialog builder) and `defaults` (where
    // the two preferences live, the store the dialog's switches write) must outlive it.
    static std::shared_ptr<HostControlPolicyExecuter> create(UserInterface& ui, UserDefaults& defaults,
                                                             TransmitterProvider transmitter);
    // A factory for AppEnvironment::makeHostControlPolicy: a fresh executer per call.
    static Factory factory(UserInterface& ui, UserDefaults& defaults, TransmitterProvider transmitter);

    ~HostControlPolicyExecuter() override;
    HostControlPolicyExecuter(const HostControlPolicyExecuter&) = delete;
    HostControlPolicyExecuter& operator=(const HostControlPolicyExecuter&) = delete;

    // --- KPDataTransmitterHostControlDelegate (any thread)
    void transmitterHostControlRoleDidChange(KPDataTransmitter* transmitter) override;
    bool transmitterHostControlDidReceiveAskRequestStream(KPDataTransmitter* transmitter,
                                                          const QString& guestIP, const QString& name,
                                                          KPHostControlReply completion) override;
    void hostControlDidReceiveAskFullscreen(KPDataTransmitter* transmitter, const QString& guestIP,
                                            const QString& name, KPHostControlReply completion) override;
    void transmitterHostControlDidReceiveCancelRequestStream(KPDataTransmitter* transmitter,
                                                             const QString& guestIP) override;
    void transmitterHostControlDidAskedToDisconnect(KPDataTransmitter* transmitter) override;
    void transmitterHostControlWaitForResponse(KPDataTransmitter* transmitter) override;
    void transmitterHostControlHostDidAcceptRequest(KPDataTransmitter* transmitter) override;
    void transmitterHostControlDenyFromHost(KPDataTransmitter* transmitter) override;

    // --- HostControlPolicy
    // Removes both preferences, so that both read false again (any thread).
    void resetHostControlSetting() override;
    bool isQueryingHost() const override { return m_isQueryingHost.load(); }
    bool isHostControlAsking() const { return isQueryingHost(); }

    // --- the queue (any thread; the work is queued to the main thread)
    void requestFromClient(const QString& guestIP, const QString& name, KPHostControlReply completion);
    void requestFullstreamFromClient(const QString& guestIP, const QString& name,
                                     KPHostControlReply completion);
    // Withdraws the oldest queued request of that guest, without a reply.
    void requestCancelFromClient(const QString& guestIP);

    // --- decisions and dialogs
    // Queues one decision step: the head of the queue is answered automatically or asked.
    void checkRequest();
    // Answers `request` with (isAllow, isFullScreen ? 2 : 1), retires it and takes up the next
    // one. Main thread. A request no longer queued (answered or withdrawn) is left alone.
    void userFeedbackWithTask(const std::shared_ptr<KPHostControlRequest>& request, bool isAllow,
                              bool isFullScreen);
    void showWaitingDialogWithTransmitter(KPDataTransmitter* transmitter);
    void showBeingDeniedDialogWithTransmitter(KPDataTransmitter* transmitter);
    // Queues the dismissal: no question on screen, not waiting, the dialog closed.
    void dismissDialog();
    void tellAppDelegateAboutDeniedOrCancel();

    // --- state (main thread)
    QStringList pendingRequest() const { return m_pendingRequest; }
    QHash<QString, std::shared_ptr<KPHostControlRequest>> requestInfoDict() const
    {
        return m_requestInfoDict;
    }
    std::shared_ptr<KPHostControlRequest> currentAskRequest() const { return m_currentAskRequest; }
    // The two preferences (any thread).
    bool isAutoAllow() const;
    bool isDND() const;
    // Whether this sender is the receiver's conference host now (any thread).
    bool isHost() const;

private:
    HostControlPolicyExecuter(UserInterface& ui, UserDefaults& defaults, TransmitterProvider transmitter);

    void enqueue(const QString& guestIP, const QString& name, bool fullscreen, KPHostControlReply completion);
    void retire(const KPHostControlRequest& request);
    void askUser(const std::shared_ptr<KPHostControlRequest>& request, int version);
    void preferenceDidChange(const QString& key, bool value);
    KPDataTransmitterConferenceControl* conferenceController(std::shared_ptr<KPDataTransmitter>& keep) const;
    // The shared owner of the transmitter Beamline called with, when it is still the
    // connected one.
    std::weak_ptr<KPDataTransmitter> resolve(KPDataTransmitter* transmitter) const;

    UserInterface& m_ui;
    UserDefaults& m_defaults;
    TransmitterProvider m_transmitter;
    std::unique_ptr<QObject> m_observer; // context of the preference observation (main thread)

    // Main thread only; m_pendingRequest and m_requestInfoDict change together.
    QStringList m_pendingRequest;
    QHash<QString, std::shared_ptr<KPHostControlRequest>> m_requestInfoDict;
    std::shared_ptr<KPHostControlRequest> m_currentAskRequest;
    std::atomic<bool> m_isQueryingHost{false};
};
