#include "Pikora/HostControl/HostControlPolicyExecuter.h"

#include "Beamline/KPDataTransmitter.h"
#include "Beamline/KPDataTransmitterConferenceControl.h"
#include "Pikora/App/UserInterface.h"
#include "Pikora/HostControl/HostControlLogging.h"
#include "Pikora/UI/PreferenceKeys.h"
#include "Support/DispatchQueue.h"
#include "Support/UserDefaults.h"

#include <QObject>

namespace {

// The reply mode: 2 when the answer grants the full screen, else 1.
int replyMode(bool fullScreen)
{
    return fullScreen ? 2 : 1;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Life cycle

std::shared_ptr<HostControlPolicyExecuter>
HostControlPolicyExecuter::create(UserInterface& ui, UserDefaults& defaults, TransmitterProvider transmitter)
{
    if (QCoreApplication::instance() && !mainQueue().isCurrent())
        qCWarning(lcHostControl, "HostControlPolicyExecuter created off the main thread");
    auto* executer = new HostControlPolicyExecuter(ui, defaults, std::move(transmitter));
    // Beamline holds the delegate on its link thread while it calls it; should the last owner
    // go there, the executer still ends on the main thread, which owns its state.
    return std::shared_ptr<HostControlPolicyExecuter>(executer, [](HostControlPolicyExecuter* p) {
        if (!QCoreApplication::instance() || mainQueue().isCurrent()) {
            delete p;
            return;
        }
        mainQueue().async([p] { delete p; });
    });
}

HostControlPolicyExecuter::Factory
HostControlPolicyExecuter::factory(UserInterface& ui, UserDefaults& defaults, TransmitterProvider transmitter)
{
    return [&ui, &defaults, transmitter = std::move(transmitter)]() -> std::shared_ptr<HostControlPolicy> {
        return create(ui, defaults, transmitter);
    };
}

HostControlPolicyExecuter::HostControlPolicyExecuter(UserInterface& ui, UserDefaults& defaults,
                                                     TransmitterProvider transmitter)
    : m_ui(ui), m_defaults(defaults), m_transmitter(std::move(transmitter)),
      m_observer(std::make_unique<QObject>())
{
    // The two preferences exclude each other: turning one on turns the other off. The second
    // change then finds its key off and changes nothing more.
    QObject::connect(
        &m_defaults, &UserDefaults::valueChanged, m_observer.get(),
        [this](const QString& key, const QVariant& value) { preferenceDidChange(key, value.toBool()); });
}

HostControlPolicyExecuter::~HostControlPolicyExecuter()
{
    m_observer.reset();
    // Nobody is left to answer these: deny them rather than leave the guests waiting.
    for (const QString& identifier : std::as_const(m_pendingRequest)) {
        const auto request = m_requestInfoDict.value(identifier);
        if (request && request->reply(false, 1))
            qCInfo(lcHostControl).noquote() << "denied on leaving:" << request->description();
    }
}

// ---------------------------------------------------------------------------------------------
// Preferences

bool HostControlPolicyExecuter::isAutoAllow() const
{
    return m_defaults.boolForKey(kVistrelPreferenceAllowRequest);
}

bool HostControlPolicyExecuter::isDND() const
{
    return m_defaults.boolForKey(kVistrelPreferenceDoNotDisturb);
}

void HostControlPolicyExecuter::resetHostControlSetting()
{
    m_defaults.removeObject(kVistrelPreferenceAllowRequest);
    m_defaults.removeObject(kVistrelPreferenceDoNotDisturb);
}

void HostControlPolicyExecuter::preferenceDidChange(const QString& key, bool value)
{
    if (!value)
        return;
    if (key == kVistrelPreferenceAllowRequest)
        m_defaults.setBool(kVistrelPreferenceDoNotDisturb, false);
    else if (key == kVistrelPreferenceDoNotDisturb)
        m_defaults.setBool(kVistrelPreferenceAllowRequest, false);
}

// ---------------------------------------------------------------------------------------------
// The receiver

KPDataTransmitterConferenceControl*
HostControlPolicyExecuter::conferenceController(std::shared_ptr<KPDataTransmitter>& keep) const
{
    keep = m_transmitter ? m_transmitter() : nullptr;
    return keep ? keep->conferenceController() : nullptr;
}

bool HostControlPolicyExecuter::isHost() const
{
    std::shared_ptr<KPDataTransmitter> keep;
    KPDataTransmitterConferenceControl* conference = conferenceController(keep);
    return conference && conference->isHost();
}

std::weak_ptr<KPDataTransmitter> HostControlPolicyExecuter::resolve(KPDataTransmitter* transmitter) const
{
    if (!transmitter || !m_transmitter)
        return {};
    std::shared_ptr<KPDataTransmitter> current = m_transmitter();
    if (current.get() != transmitter) {
        qCInfo(lcHostControl, "host-control callback from a transmitter that is no longer connected");
        return {};
    }
    return current;
}

// ---------------------------------------------------------------------------------------------
// Delegate callbacks

void HostControlPolicyExecuter::transmitterHostControlRoleDidChange(KPDataTransmitter*)
{
    qCDebug(lcHostControl, "conference role changed");
}

bool HostControlPolicyExecuter::transmitterHostControlDidReceiveAskRequestStream(
    KPDataTransmitter*, const QString& guestIP, const QString& name, KPHostControlReply completion)
{
    qCInfo(lcHostControl).noquote() << "guest" << guestIP << "asks to project";
    if (isDND()) {
        if (completion)
            completion(false, 1);
        return false;
    }
    if (isAutoAllow()) {
        if (completion)
            completion(true, 1);
        return false;
    }
    requestFromClient(guestIP, name, std::move(completion));
    return true;
}

void HostControlPolicyExecuter::hostControlDidReceiveAskFullscreen(KPDataTransmitter*, const QString& guestIP,
                                                                   const QString& name,
                                                                   KPHostControlReply completion)
{
    qCInfo(lcHostControl).noquote() << "guest" << guestIP << "asks for the full screen";
    std::shared_ptr<HostControlPolicyExecuter> self = weak_from_this().lock();
    if (!self)
        return; // going away: the released reply is denied by Beamline
    mainQueue().async([self, guestIP, name, completion = std::move(completion)]() mutable {
        if (self->isDND()) {
            if (completion)
                completion(false, 1);
        } else if (self->isAutoAllow()) {
            if (completion)
                completion(true, 1);
        } else {
            self->requestFullstreamFromClient(guestIP, name, std::move(completion));
        }
    });
}

void HostControlPolicyExecuter::transmitterHostControlDidReceiveCancelRequestStream(KPDataTransmitter*,
                                                                                    const QString& guestIP)
{
    qCInfo(lcHostControl).noquote() << "guest" << guestIP << "withdraws its request";
    std::weak_ptr<HostControlPolicyExecuter> weak = weak_from_this();
    mainQueue().async([weak, guestIP] {
        if (auto self = weak.lock())
            self->requestCancelFromClient(guestIP);
    });
}

void HostControlPolicyExecuter::transmitterHostControlDidAskedToDisconnect(KPDataTransmitter*) {}

void HostControlPolicyExecuter::transmitterHostControlWaitForResponse(KPDataTransmitter* transmitter)
{
    showWaitingDialogWithTransmitter(transmitter);
}

void HostControlPolicyExecuter::transmitterHostControlHostDidAcceptRequest(KPDataTransmitter*)
{
    dismissDialog();
}

void HostControlPolicyExecuter::transmitterHostControlDenyFromHost(KPDataTransmitter* transmitter)
{
    dismissDialog();
    showBeingDeniedDialogWithTransmitter(transmitter);
}

// ---------------------------------------------------------------------------------------------
// The queue

void HostControlPolicyExecuter::requestFromClient(const QString& guestIP, const QString& name,
                                                  KPHostControlReply completion)
{
    enqueue(guestIP, name, false, std::move(completion));
}

void HostControlPolicyExecuter::requestFullstreamFromClient(const QString& guestIP, const QString& name,
                                                            KPHostControlReply completion)
{
    enqueue(guestIP, name, true, std::move(completion));
}

void HostControlPolicyExecuter::enqueue(const QString& guestIP, const QString& name, bool fullscreen,
                                        KPHostControlReply completion)
{
    std::weak_ptr<HostControlPolicyExecuter> weak = weak_from_this();
    mainQueue().async([weak, guestIP, name, fullscreen, completion = std::move(completion)]() mutable {
        auto self = weak.lock();
        if (!self)
            return;
        if (!self->isHost()) {
            qCDebug(lcHostControl).noquote() << "not the host: request of" << guestIP << "dropped";
            return;
        }
        if (self->m_pendingRequest.size() >= kMaxPendingRequests) {
            qCWarning(lcHostControl).noquote()
                << "request queue full (" << kMaxPendingRequests << "): denied the request of" << guestIP;
            if (completion)
                completion(false, 1);
            return;
        }
        auto request = std::make_shared<KPHostControlRequest>();
        request->setClientIP(guestIP);
        request->setClientName(name.size() > kMaxClientNameLength ? name.left(kMaxClientNameLength) : name);
        request->setRequestingFullscreen(fullscreen);
        request->setCompletionblock(std::move(completion));
        self->m_pendingRequest.append(request->identifier());
        self->m_requestInfoDict.insert(request->identifier(), request);
        qCInfo(lcHostControl).noquote() << "queued:" << request->description();
        self->checkRequest();
    });
}

void HostControlPolicyExecuter::retire(const KPHostControlRequest& request)
{
    m_pendingRequest.removeAll(request.identifier());
    m_requestInfoDict.remove(request.identifier());
}

void HostControlPolicyExecuter::requestCancelFromClient(const QString& guestIP)
{
    std::weak_ptr<HostControlPolicyExecuter> weak = weak_from_this();
    mainQueue().async([weak, guestIP] {
        auto self = weak.lock();
        if (!self || !self->isHost())
            return;
        std::shared_ptr<KPHostControlRequest> found;
        for (const QString& identifier : std::as_const(self->m_pendingRequest)) {
            auto request = self->m_requestInfoDict.value(identifier);
            if (request && request->clientIP() == guestIP) {
                found = request;
                break;
            }
        }
        if (!found)
            return;
        self->retire(*found);
        qCInfo(lcHostControl).noquote() << "withdrawn:" << found->description();
        if (self->m_currentAskRequest && self->m_currentAskRequest->isEqual(*found)) {
            self->dismissDialog();
            self->checkRequest();
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Decisions

void HostControlPolicyExecuter::checkRequest()
{
    std::weak_ptr<HostControlPolicyExecuter> weak = weak_from_this();
    mainQueue().async([weak] {
        auto self = weak.lock();
        if (self && self->m_currentAskRequest)
            return; // a question is on screen; the rest of the queue waits
        std::shared_ptr<KPHostControlRequest> head;
        if (self && !self->m_pendingRequest.isEmpty())
            head = self->m_requestInfoDict.value(self->m_pendingRequest.first());
        if (!head) {
            qCInfo(lcHostControl, "pending task == 0 , return");
            return;
        }
        std::shared_ptr<KPDataTransmitter> keep;
        KPDataTransmitterConferenceControl* conference = self->conferenceController(keep);
        if (!conference)
            return; // the head stays for the next step
        const int version = conference->version();

        if (self->isDND()) {
            self->userFeedbackWithTask(head, false, false);
            return;
        }
        if (self->isAutoAllow()) {
            self->userFeedbackWithTask(head, true, false);
            return;
        }
        self->m_currentAskRequest = head;
        self->askUser(head, version);
    });
}

void HostControlPolicyExecuter::askUser(const std::shared_ptr<KPHostControlRequest>& request, int version)
{
    QString name = request->clientName();
    if (name.isEmpty())
        name = QStringLiteral("No NAME");
    QString ip = request->clientIP();
    if (ip.isEmpty())
        ip = QStringLiteral("NO IPAddress");

    std::weak_ptr<HostControlPolicyExecuter> weak = weak_from_this();
    auto option = [weak, request](bool isAllow, bool isFullScreen) {
        return [weak, request, isAllow, isFullScreen](const QString&) {
            if (auto self = weak.lock())
                self->userFeedbackWithTask(request, isAllow, isFullScreen);
        };
    };

    if (version < 2) {
        m_ui.setDialogTitle(QStringLiteral("Allow guest's request?"));
        m_ui.setDialogMessage(name + ip);
        m_ui.addDialogWithOption(tr("Allow"), option(true, true));
        m_ui.addDialogWithOption(tr("Deny"), option(false, true));
    } else if (!request->requestingFullscreen()) {
        m_ui.setDialogTitle(tr("Allow guest's request?"));
        m_ui.setDialogMessage(name + QStringLiteral("(") + ip + QStringLiteral(")"));
        m_ui.addDialogWithOption(tr("Replace Screen"), option(true, true));
        m_ui.addDialogWithOption(tr("Share Screen"), option(true, false));
        m_ui.addDialogWithOption(tr("Deny"), option(false, false));
    } else {
        m_ui.setDialogTitle(tr("Allow guest's fullscreen request?"));
        m_ui.setDialogMessage(name + QStringLiteral("(") + ip + QStringLiteral(")"));
        m_ui.addDialogWithOption(tr("Allow"), option(true, true));
        m_ui.addDialogWithOption(tr("Deny"), option(false, true));
    }
    m_ui.commitDialog();
}

void HostControlPolicyExecuter::userFeedbackWithTask(const std::shared_ptr<KPHostControlRequest>& request,
                                                     bool isAllow, bool isFullScreen)
{
    // A second press before the dialog went, or a press on a request the guest withdrew
    // meanwhile: that request has had its one answer (or needs none).
    if (!request || !m_requestInfoDict.contains(request->identifier())) {
        qCInfo(lcHostControl, "answer for a request that is no longer queued ignored");
        return;
    }
    retire(*request);
    const int mode = replyMode(isFullScreen);
    request->reply(isAllow, mode);
    qCInfo(lcHostControl).noquote() << "answered" << request->clientIP() << "allow:" << isAllow
                                    << "mode:" << mode;
    dismissDialog();
    checkRequest();
}

// ---------------------------------------------------------------------------------------------
// Dialogs

void HostControlPolicyExecuter::showWaitingDialogWithTransmitter(KPDataTransmitter* transmitter)
{
    std::shared_ptr<HostControlPolicyExecuter> self = weak_from_this().lock();
    if (!self)
        return;
    // Held weakly: a transmitter that went with its link has no request left to cancel.
    std::weak_ptr<KPDataTransmitter> target = resolve(transmitter);
    mainQueue().async([self, target] {
        self->m_isQueryingHost = true;
        self->m_ui.setDialogTitle(tr("Waiting for host's reply"));
        self->m_ui.addDialogWithOption(tr("Cancel"), [self, target](const QString&) {
            if (auto t = target.lock())
                t->cancelRequest();
            self->dismissDialog();
            self->m_isQueryingHost = false;
            self->tellAppDelegateAboutDeniedOrCancel();
        });
        self->m_ui.commitDialog();
    });
}

void HostControlPolicyExecuter::showBeingDeniedDialogWithTransmitter(KPDataTransmitter*)
{
    std::shared_ptr<HostControlPolicyExecuter> self = weak_from_this().lock();
    if (!self)
        return;
    mainQueue().async([self] {
        self->m_ui.setDialogTitle(tr("Host denied your request"));
        self->m_ui.addDialogWithOption(tr("OK"), [self](const QString&) {
            qCInfo(lcHostControl, "user did press OK");
            self->dismissDialog();
            self->tellAppDelegateAboutDeniedOrCancel();
        });
        self->m_ui.commitDialog();
    });
}

void HostControlPolicyExecuter::dismissDialog()
{
    std::shared_ptr<HostControlPolicyExecuter> self = weak_from_this().lock();
    if (!self)
        return;
    mainQueue().async([self] {
        self->m_currentAskRequest.reset();
        self->m_isQueryingHost = false;
        self->m_ui.dismissDialog();
    });
}

void HostControlPolicyExecuter::tellAppDelegateAboutDeniedOrCancel()
{
    m_ui.hostDidDenyProjectionRequest();
}
