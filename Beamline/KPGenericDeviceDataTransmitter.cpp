#include "Beamline/KPGenericDeviceDataTransmitter.h"

#include "Beamline/BeamlineLogging.h"
#include "Beamline/JsonAccess.h"
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPDataTransmitterHostControlDelegate.h"
#include "Beamline/KPNetworkDevice.h"
#include "Beamline/KPReceiverDescription.h"
#include "Beamline/KPReceiverLink.h"
#include "Beamline/KPReceiverLinkCodec.h"
#include "Support/NotificationCenter.h"
#include "Support/ThreadHandoff.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <QThread>
#include <climits>

namespace M = KPBeamlineProtocol::Method;

namespace {

// Longest texts taken from the receiver's host-control messages.
constexpr std::size_t kMaxGuestAddress = 64;
constexpr std::size_t kMaxGuestName = 256;

// Logs that a receiver message was dropped for a malformed member.
void logDropped(const std::string& method, JsonAccess::ReadError error, std::string_view key)
{
    qCWarning(lcBeamline).noquote() << "dropped receiver message" << QString::fromStdString(method).left(64)
                                    << ":" << QString::fromStdString(JsonAccess::describe(error, key));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Conference control

class KPGenericDeviceDataTransmitter::Conference : public KPDataTransmitterConferenceControl
{
public:
    explicit Conference(KPGenericDeviceDataTransmitter* owner) : m_owner(owner) {}

    int version() const override { return m_owner->m_conferenceVersion; }
    int currentRole() const override { return m_owner->m_role; }

    std::shared_ptr<KPDataTransmitterHostControlDelegate> hostControlDelegate() const override
    {
        std::lock_guard lock(m_mutex);
        return m_delegate.lock();
    }
    void setHostControlDelegate(std::weak_ptr<KPDataTransmitterHostControlDelegate> delegate) override
    {
        std::lock_guard lock(m_mutex);
        m_delegate = std::move(delegate);
    }

    void requestFullscreen(bool fullscreen, std::function<void(bool)> complete) override
    {
        auto once = std::make_shared<std::function<void(bool)>>(std::move(complete));
        auto finish = [weak = m_owner->weak_from_this(), once](bool granted) {
            auto strong = weak.lock();
            if (!strong || !*once)
                return;
            strong->postToMain([once, granted] {
                if (*once) {
                    auto fn = std::move(*once);
                    *once = nullptr;
                    fn(granted);
                }
            });
        };
        std::lock_guard lock(m_owner->m_mutex);
        if (!m_owner->m_link || !m_owner->m_connected) {
            finish(false);
            return;
        }
        // A guest's request goes to the conference host, who may answer through a dialog: the
        // receiver then says "hostControl.wait" and the deadline grows like a stream request's.
        auto id = std::make_shared<long long>(0);
        *id = m_owner->m_link->request(
            M::RequestFullscreen, Json{{"fullscreen", fullscreen}},
            [finish, weak = m_owner->weak_from_this(), id](const KPJSONRPCResponse& response) {
                if (auto self = weak.lock()) {
                    std::lock_guard lock(self->m_mutex);
                    if (self->m_fullscreenRequestId == *id)
                        self->m_fullscreenRequestId = 0;
                }
                bool granted = false;
                if (!response.isError()) {
                    const auto read = JsonAccess::boolean(response.result(), "granted");
                    if (!read)
                        logDropped(M::RequestFullscreen, read.error, "granted");
                    granted = read.value.value_or(false);
                }
                finish(granted);
            });
        m_owner->m_fullscreenRequestId = *id;
    }

    void setHostName(const QString& name) override
    {
        std::lock_guard lock(m_owner->m_mutex);
        m_owner->m_hostName = name;
    }

private:
    KPGenericDeviceDataTransmitter* m_owner;
    mutable std::mutex m_mutex;
    std::weak_ptr<KPDataTransmitterHostControlDelegate> m_delegate;
};

// ---------------------------------------------------------------------------------------------

namespace {

// Answers a receiver's host-control question exactly once; answers "deny" if nobody did.
class HostReplyState
{
public:
    using Sender = std::function<void(bool allow, int mode)>;
    explicit HostReplyState(Sender sender) : m_sender(std::move(sender)) {}
    ~HostReplyState() { answer(false, 1); }
    void answer(bool allow, int mode)
    {
        if (m_answered.exchange(true))
            return;
        m_sender(allow, mode == 2 ? 2 : 1);
    }

private:
    Sender m_sender;
    std::atomic<bool> m_answered{false};
};

KPError errorFromResponse(const KPJSONRPCResponse& response)
{
    const Json& e = response.error();
    const auto code = JsonAccess::integer(e, "code", INT_MIN, INT_MAX);
    const auto text = JsonAccess::string(e, "message", 1024);
    const QString message = text ? QString::fromStdString(*text) : QStringLiteral("error");
    switch (code ? int(*code) : 0) {
    case KPBeamlineProtocol::ErrorCode::Refused:
        return KPError::make(KPError::Refused, message);
    case KPBeamlineProtocol::ErrorCode::DeniedByHost:
        return KPError::make(KPError::DeniedByHost, message);
    case KPBeamlineProtocol::ErrorCode::Cancelled:
    case KPError::Cancelled:
        return KPError::make(KPError::Cancelled, message);
    case KPError::ConnectTimeout:
    case KPError::ConnectionFailed:
    case KPError::ConnectionClosed:
        return KPError::make(KPError::ConnectionClosed, message);
    case KPError::Timeout:
        return KPError::make(KPError::Timeout, message);
    default:
        return KPError::make(KPError::ProtocolError, message);
    }
}

} // namespace

KPGenericDeviceDataTransmitter::KPGenericDeviceDataTransmitter(std::shared_ptr<KPPrototypeDevice> device,
                                                               KPDeviceFactory deviceFactory,
                                                               QThread* linkThread, QObject* context)
    : m_deviceFactory(std::move(deviceFactory)), m_linkThread(linkThread), m_context(context),
      m_device(std::move(device)), m_conference(std::make_unique<Conference>(this))
{
    if (auto* d = dynamic_cast<KPNetworkDevice*>(m_device.get()))
        m_conferenceVersion = d->conferenceVersion();
}

KPGenericDeviceDataTransmitter::~KPGenericDeviceDataTransmitter()
{
    std::lock_guard lock(m_mutex);
    if (m_link) {
        m_link->shutdown();
        m_link = nullptr;
    }
}

void KPGenericDeviceDataTransmitter::postToMain(std::function<void()> fn) const
{
    QObject* context = m_context.data();
    if (!context)
        return;
    Support::postTo(context, std::move(fn));
}

std::shared_ptr<KPDataTransmitterHostControlDelegate> KPGenericDeviceDataTransmitter::delegate() const
{
    return m_conference->hostControlDelegate();
}

std::shared_ptr<KPPrototypeDevice> KPGenericDeviceDataTransmitter::connectedDevice() const
{
    std::lock_guard lock(m_mutex);
    return m_device;
}

int KPGenericDeviceDataTransmitter::currentState() const
{
    return m_connected && m_displayOn && !m_paused ? kStateStreaming : kStateDoNotSend;
}

std::optional<KPSocketStatus> KPGenericDeviceDataTransmitter::socketStatus() const
{
    std::lock_guard lock(m_mutex);
    if (!m_link || !m_connected)
        return std::nullopt;
    // Pictures wait while the media on its way is too much or too old (a slow link); sound,
    // which the session bounds itself, only by bytes.
    const bool readyForSound = m_link->queuedBytes() <= KPReceiverLink::kReadyBound;
    return KPSocketStatus{readyForSound && m_link->readyForMedia(), readyForSound};
}

KPDataTransmitterConferenceControl* KPGenericDeviceDataTransmitter::conferenceController()
{
    return m_conference.get();
}

quint64 KPGenericDeviceDataTransmitter::droppedFrames() const
{
    std::lock_guard lock(m_mutex);
    return m_droppedBeforeClose + (m_link ? m_link->droppedFrames() : 0);
}

qint64 KPGenericDeviceDataTransmitter::queuedBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_link ? m_link->queuedBytes() : 0;
}

std::chrono::steady_clock::duration KPGenericDeviceDataTransmitter::mediaAge() const
{
    std::lock_guard lock(m_mutex);
    return m_link ? m_link->mediaAge() : std::chrono::steady_clock::duration::zero();
}

bool KPGenericDeviceDataTransmitter::isConnected() const
{
    return m_connected;
}

bool KPGenericDeviceDataTransmitter::mayQueueMedia()
{
    if (m_connected && m_displayOn)
        return true;
    ++m_discarded;
    return false;
}

namespace {

// The capture-time frame for `captureTime` followed by `media`, as one queue entry. Without a
// time (or one the frame cannot carry) the media frame goes alone.
QByteArray withCaptureTime(QByteArray media, std::optional<std::chrono::steady_clock::time_point> captureTime)
{
    if (!captureTime)
        return media;
    const std::optional<std::uint64_t> us = KPReceiverLinkCodec::captureTimeMicroseconds(*captureTime);
    if (!us)
        return media;
    QByteArray entry = KPReceiverLinkCodec::encodeCaptureTime(*us);
    entry.append(media);
    return entry;
}

} // namespace

void KPGenericDeviceDataTransmitter::sendH264Data(const QByteArray& accessUnit, int width, int height)
{
    queueH264(accessUnit, width, height, std::nullopt);
}

void KPGenericDeviceDataTransmitter::sendH264Data(const QByteArray& accessUnit, int width, int height,
                                                  std::chrono::steady_clock::time_point captureTime)
{
    queueH264(accessUnit, width, height, captureTime);
}

void KPGenericDeviceDataTransmitter::queueH264(
    const QByteArray& accessUnit, int width, int height,
    std::optional<std::chrono::steady_clock::time_point> captureTime)
{
    if (!mayQueueMedia())
        return;
    QByteArray frame = KPReceiverLinkCodec::encodeH264(accessUnit, width, height);
    if (frame.isEmpty()) {
        qCWarning(lcBeamline) << "sendH264Data: refused an access unit of" << accessUnit.size() << "bytes at"
                              << width << "x" << height;
        ++m_discarded;
        return;
    }
    // Key-frame detection looks at the access unit alone, not at the bytes in front of it.
    const bool key = KPReceiverLinkCodec::isH264KeyFrame(accessUnit);
    QByteArray entry = withCaptureTime(std::move(frame), captureTime);
    std::lock_guard lock(m_mutex);
    if (m_link)
        m_link->enqueueMedia(std::move(entry), true, key);
}

void KPGenericDeviceDataTransmitter::sendImageWithData(const QByteArray& jpeg)
{
    queueJpeg(jpeg, std::nullopt);
}

void KPGenericDeviceDataTransmitter::sendImageWithData(const QByteArray& jpeg,
                                                       std::chrono::steady_clock::time_point captureTime)
{
    queueJpeg(jpeg, captureTime);
}

void KPGenericDeviceDataTransmitter::queueJpeg(
    const QByteArray& jpeg, std::optional<std::chrono::steady_clock::time_point> captureTime)
{
    if (!mayQueueMedia())
        return;
    QByteArray frame = KPReceiverLinkCodec::encodeJpeg(jpeg);
    if (frame.isEmpty()) {
        qCWarning(lcBeamline) << "sendImageWithData: refused a picture of" << jpeg.size() << "bytes";
        ++m_discarded;
        return;
    }
    QByteArray entry = withCaptureTime(std::move(frame), captureTime);
    std::lock_guard lock(m_mutex);
    if (m_link)
        m_link->enqueueMedia(std::move(entry), false, false);
}

void KPGenericDeviceDataTransmitter::sendPCMData(const QByteArray& pcm)
{
    if (!mayQueueMedia())
        return;
    QByteArray frame = KPReceiverLinkCodec::encodePcm(pcm);
    if (frame.isEmpty()) {
        qCWarning(lcBeamline) << "sendPCMData: refused" << pcm.size() << "bytes (not whole sample frames)";
        ++m_discarded;
        return;
    }
    std::lock_guard lock(m_mutex);
    if (m_link)
        m_link->enqueueMedia(std::move(frame), false, false);
}

void KPGenericDeviceDataTransmitter::cancelRequest()
{
    std::lock_guard lock(m_mutex);
    if (m_link && m_connected)
        m_link->notify(M::CancelRequest, Json::object());
}

void KPGenericDeviceDataTransmitter::setDisplayEndedCallback(std::function<void()> callback)
{
    std::lock_guard lock(m_mutex);
    m_displayEnded = std::move(callback);
}

void KPGenericDeviceDataTransmitter::setLinkClosedCallback(std::function<void(const KPError&)> callback)
{
    std::lock_guard lock(m_mutex);
    m_linkClosed = std::move(callback);
}

void KPGenericDeviceDataTransmitter::open(Completion done)
{
    openLink(std::move(done), false);
}

KPReceiverLink* KPGenericDeviceDataTransmitter::openWithoutSocketForTesting(Completion done)
{
    return openLink(std::move(done), true);
}

KPReceiverLink* KPGenericDeviceDataTransmitter::openLink(Completion done, bool withoutSocket)
{
    const std::shared_ptr<KPPrototypeDevice> device = connectedDevice();
    const KPRemoteHost host = device ? device->remoteHost() : KPRemoteHost();
    if (!device || host.ipAddress().isEmpty()) {
        postToMain([done] {
            if (done)
                done(KPError::make(KPError::InvalidDevice, QStringLiteral("the device has no address")));
        });
        return nullptr;
    }
    const auto timeout = std::chrono::milliseconds(qint64(device->connectionTimeout() * 1000.0));
    std::lock_guard lock(m_mutex);
    if (m_link) {
        postToMain([done] {
            if (done)
                done(KPError::make(KPError::Cancelled, QStringLiteral("the transmitter was already opened")));
        });
        return nullptr;
    }
    m_openDone = std::move(done);
    const QString localName = m_hostName.isEmpty() ? QSysInfo::machineHostName() : m_hostName;
    Json hello{{"protocolVersion", KPBeamlineProtocol::kProtocolVersion},
               {"name", QCoreApplication::applicationName().toStdString()},
               {"hostName", localName.toStdString()},
               {"formats", Json::array({"h264", "jpeg", "pcm"})}};

    std::weak_ptr<KPGenericDeviceDataTransmitter> weak = weak_from_this();
    KPReceiverLink::Callbacks callbacks;
    callbacks.opened = [weak](const Json& result) {
        if (auto self = weak.lock())
            self->onOpened(result);
    };
    callbacks.failed = [weak](const KPError& error) {
        if (auto self = weak.lock())
            self->onLinkEnded(error, false);
    };
    callbacks.closed = [weak](const KPError& error) {
        if (auto self = weak.lock())
            self->onLinkEnded(error, true);
    };
    callbacks.notification = [weak](const KPJSONRPCNotification& n) {
        if (auto self = weak.lock())
            self->onNotification(n);
    };
    callbacks.request = [weak](const KPJSONRPCRequest& r) {
        if (auto self = weak.lock())
            self->onRequest(r);
    };
    callbacks.protocolError = [weak](const QString& error) {
        auto self = weak.lock();
        if (!self)
            return;
        if (auto d = self->delegate())
            d->transmitterHostControlDidParseJRPCMessageFailed(self.get(), error);
    };
    m_link = new KPReceiverLink(host.ipAddress(), host.controlPort(), timeout, std::move(hello),
                                std::move(callbacks));
    if (withoutSocket) {
        m_link->beginWithoutSocketForTesting();
        return m_link;
    }
    if (m_linkThread)
        m_link->moveToThread(m_linkThread);
    m_link->open();
    return m_link;
}

void KPGenericDeviceDataTransmitter::onOpened(const Json& hello)
{
    // Refresh the device record from what the receiver says about itself. The link has
    // checked the answer like a discovery reply; what does not pass is not taken.
    std::shared_ptr<KPPrototypeDevice> device = connectedDevice();
    KPRemoteHost host = device ? device->remoteHost() : KPRemoteHost();
    QString why;
    if (const auto d = KPReceiverDescription::read(hello, &why)) {
        host.setHostName(d->hostName);
        if (!d->displayName.isEmpty())
            host.setDisplayName(d->displayName);
        if (!d->deviceModel.isEmpty())
            host.setDeviceModel(d->deviceModel);
        if (!d->vendor.isEmpty())
            host.setVendor(d->vendor);
        if (!d->srcvers.isEmpty())
            host.setSrcvers(d->srcvers);
        if (JsonAccess::member(hello, "protocolVersion"))
            host.setProtocolVersion(d->protocolVersion);
        Json parameters = host.parameters();
        for (auto p = d->parameters.begin(); p != d->parameters.end(); ++p)
            if (p.key() != "controlPort") // the port we reached it on stays
                parameters[p.key()] = p.value();
        host.setParameters(std::move(parameters));
    } else {
        qCWarning(lcBeamline).noquote() << "hello answer not taken:" << why;
    }
    std::shared_ptr<KPPrototypeDevice> refreshed =
        m_deviceFactory ? m_deviceFactory(host, device ? device->connectionTimeout() : 3.0) : nullptr;
    m_conferenceVersion = host.conferenceVersion();
    if (const auto role = JsonAccess::integer(hello, "role", 0, 2))
        m_role = int(*role);
    else if (role.error != JsonAccess::ReadError::Missing)
        logDropped(M::Hello, role.error, "role");
    applyLayout(hello);

    Completion done;
    {
        std::lock_guard lock(m_mutex);
        if (refreshed)
            m_device = std::move(refreshed);
        done = std::move(m_openDone);
        m_openDone = nullptr;
    }
    m_connected = true;
    postToMain([done] {
        if (done)
            done(std::nullopt);
    });
}

void KPGenericDeviceDataTransmitter::onLinkEnded(const KPError& error, bool wasOpen)
{
    m_connected = false;
    Completion openDone;
    Completion startDone;
    std::function<void(const KPError&)> linkClosed;
    {
        std::lock_guard lock(m_mutex);
        openDone = std::move(m_openDone);
        m_openDone = nullptr;
        startDone = std::move(m_startDone);
        m_startDone = nullptr;
        m_startRequestId = 0;
        if (wasOpen)
            linkClosed = m_linkClosed;
        if (m_link)
            m_droppedBeforeClose += m_link->droppedFrames();
    }
    if (m_displayOn)
        endDisplay(true);
    postToMain([openDone, startDone, linkClosed, error] {
        if (openDone)
            openDone(error);
        if (startDone)
            startDone(error);
        if (linkClosed)
            linkClosed(error);
    });
}

void KPGenericDeviceDataTransmitter::close()
{
    Completion openDone;
    Completion startDone;
    {
        std::lock_guard lock(m_mutex);
        if (m_link) {
            m_droppedBeforeClose += m_link->droppedFrames();
            // The link hands this last request to the receiver before it closes.
            if (m_connected && (m_displayOn || m_startDone))
                m_link->request(M::StopDisplay, Json::object(), nullptr);
            m_link->shutdown();
            m_link = nullptr;
        }
        openDone = std::move(m_openDone);
        m_openDone = nullptr;
        startDone = std::move(m_startDone);
        m_startDone = nullptr;
        m_startRequestId = 0;
    }
    m_connected = false;
    if (m_displayOn)
        endDisplay(false);
    const KPError cancelled = KPError::make(KPError::Cancelled, QStringLiteral("disconnected"));
    postToMain([openDone, startDone, cancelled] {
        if (openDone)
            openDone(cancelled);
        if (startDone)
            startDone(cancelled);
    });
}

void KPGenericDeviceDataTransmitter::startDisplay(Completion done)
{
    std::lock_guard lock(m_mutex);
    if (!m_link || !m_connected) {
        postToMain([done] {
            if (done)
                done(KPError::make(KPError::NotConnected, QStringLiteral("no receiver is connected")));
        });
        return;
    }
    if (m_displayOn) {
        postToMain([done] {
            if (done)
                done(std::nullopt);
        });
        return;
    }
    if (m_startDone) {
        postToMain([done] {
            if (done)
                done(
                    KPError::make(KPError::Cancelled, QStringLiteral("a stream request is already pending")));
        });
        return;
    }
    m_startDone = done ? std::move(done) : Completion([](std::optional<KPError>) {});
    bool h264 = false;
    if (auto* d = dynamic_cast<KPNetworkDevice*>(m_device.get()))
        h264 = d->remoteHost().supportsH264();
    std::weak_ptr<KPGenericDeviceDataTransmitter> weak = weak_from_this();
    m_startRequestId = m_link->request(
        M::StartDisplay, Json{{"format", h264 ? "h264" : "jpeg"}},
        [weak](const KPJSONRPCResponse& response) {
            auto self = weak.lock();
            if (!self)
                return;
            Completion done;
            {
                std::lock_guard lock(self->m_mutex);
                done = std::move(self->m_startDone);
                self->m_startDone = nullptr;
                self->m_startRequestId = 0;
            }
            if (!done)
                return; // already answered by close()
            std::optional<KPError> error;
            if (response.isError()) {
                error = errorFromResponse(response);
                if (error->code == KPError::Timeout) {
                    // The receiver may still grant it later: make sure it shows nothing of ours.
                    qCWarning(lcBeamline) << "the receiver did not answer the stream request in time";
                    std::lock_guard lock(self->m_mutex);
                    if (self->m_link && self->m_connected)
                        self->m_link->request(M::StopDisplay, Json::object(), nullptr);
                }
            } else {
                if (response.result().is_object())
                    self->applyLayout(response.result());
                self->m_paused = false;
                self->m_displayOn = true;
            }
            self->postToMain([done, error] { done(error); });
        },
        kStartTimeout);
}

void KPGenericDeviceDataTransmitter::stopDisplay()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_link && m_connected && (m_displayOn || m_startDone))
            m_link->request(M::StopDisplay, Json::object(), nullptr);
    }
    if (m_displayOn)
        endDisplay(false);
}

void KPGenericDeviceDataTransmitter::endDisplay(bool postStopNotification)
{
    if (!m_displayOn.exchange(false))
        return;
    m_paused = false;
    // Not observable: capture is stopping with the stream, and a restart for this change
    // would only race with that stop.
    m_split.leave();
    if (postStopNotification)
        NotificationCenter::defaultCenter().post("stopDisplay", this);
    std::function<void()> ended;
    {
        std::lock_guard lock(m_mutex);
        ended = m_displayEnded;
    }
    postToMain([ended] {
        if (ended)
            ended();
    });
}

void KPGenericDeviceDataTransmitter::applyLayout(const Json& object)
{
    KPReceiverLinkCodec::Layout layout;
    switch (KPReceiverLinkCodec::readLayout(object, layout)) {
    case KPReceiverLinkCodec::LayoutResult::Ok:
        break;
    case KPReceiverLinkCodec::LayoutResult::Absent:
        return;
    case KPReceiverLinkCodec::LayoutResult::Malformed:
        qCWarning(lcBeamline) << "ignored a malformed split-screen layout";
        return;
    case KPReceiverLinkCodec::LayoutResult::Impossible:
        qCWarning(lcBeamline) << "ignored an impossible split-screen layout" << layout.screenNumber
                              << layout.screenPosition;
        return;
    }
    if (m_split.update(layout.screenNumber, layout.screenPosition))
        emit screenPositionChanged(layout.screenNumber, layout.screenPosition);
}

void KPGenericDeviceDataTransmitter::onNotification(const KPJSONRPCNotification& notification)
{
    const std::string& method = notification.method();
    const Json params = notification.params().is_object() ? notification.params() : Json::object();
    auto d = delegate();
    if (method == M::DisplayStop) {
        endDisplay(true);
    } else if (method == M::DisplayPause) {
        if (m_displayOn && !m_paused.exchange(true))
            NotificationCenter::defaultCenter().post("pauseDisplay", this);
    } else if (method == M::DisplayResume) {
        if (m_displayOn && m_paused.exchange(false))
            NotificationCenter::defaultCenter().post("resumeDisplay", this);
    } else if (method == M::SplitScreen) {
        applyLayout(params);
    } else if (method == M::Pointer) {
        // The receiver drives the pointer only while it shows this sender's stream.
        if (m_displayOn)
            m_hid.dispatchPointerEvent(params);
        else
            m_hid.noteOutsideStream();
    } else if (method == M::HostCancel) {
        const auto ip = JsonAccess::string(params, "guestIP", kMaxGuestAddress);
        if (!ip)
            logDropped(method, ip.error, "guestIP");
        else if (d)
            d->transmitterHostControlDidReceiveCancelRequestStream(this, QString::fromStdString(*ip));
    } else if (method == M::HostWait) {
        // A guest waits for the conference host, who answers through a dialog: the stream
        // request may take that long.
        {
            std::lock_guard lock(m_mutex);
            if (m_link && m_startRequestId)
                m_link->extendRequest(m_startRequestId, kHostDecisionTimeout);
            if (m_link && m_fullscreenRequestId)
                m_link->extendRequest(m_fullscreenRequestId, kHostDecisionTimeout);
        }
        if (d)
            d->transmitterHostControlWaitForResponse(this);
    } else if (method == M::HostAccept) {
        if (d)
            d->transmitterHostControlHostDidAcceptRequest(this);
    } else if (method == M::HostDeny) {
        if (d)
            d->transmitterHostControlDenyFromHost(this);
    } else if (method == M::HostRole) {
        const auto role = JsonAccess::integer(params, "role", 0, 2);
        if (!role) {
            logDropped(method, role.error, "role");
        } else {
            m_role = int(*role);
            if (d)
                d->transmitterHostControlRoleDidChange(this);
        }
    } else if (method == M::HostDisconnect) {
        if (d)
            d->transmitterHostControlDidAskedToDisconnect(this);
    } else if (method == M::HostAutoDisplayDisconnected) {
        if (d)
            d->hostControlAutoWifiDisplayDidDisconnected(this);
    } else if (method == M::Bye) {
        if (d)
            d->transmitterProjectorDidNotifyDisconnect(this);
    } else {
        qCDebug(lcBeamline) << "ignored receiver notification" << QString::fromStdString(method);
    }
}

void KPGenericDeviceDataTransmitter::onRequest(const KPJSONRPCRequest& request)
{
    const Json id = request.aId();
    const Json params = request.params().is_object() ? request.params() : Json::object();
    std::weak_ptr<KPGenericDeviceDataTransmitter> weak = weak_from_this();
    auto respond = [weak](const KPJSONRPCResponse& response) {
        auto self = weak.lock();
        if (!self)
            return;
        std::lock_guard lock(self->m_mutex);
        if (self->m_link)
            self->m_link->respond(response);
    };

    if (request.method() == M::HostAsk) {
        const auto ip = JsonAccess::string(params, "guestIP", kMaxGuestAddress);
        const auto name = JsonAccess::string(params, "guestName", kMaxGuestName).orIfMissing(std::string());
        const auto fullscreenRead = JsonAccess::boolean(params, "fullscreen");
        const std::optional<bool> fullscreen = fullscreenRead.orIfMissing(false);
        if (!ip || !name || !fullscreen) {
            const std::string why = !ip ? JsonAccess::describe(ip.error, "guestIP")
                                    : !name
                                        ? std::string("\"guestName\" is not a string of at most 256 bytes")
                                        : JsonAccess::describe(fullscreenRead.error, "fullscreen");
            qCWarning(lcBeamline).noquote()
                << "answered a malformed host-control question with an error:" << QString::fromStdString(why);
            respond(KPJSONRPCResponse::failure(id, KPBeamlineProtocol::ErrorCode::InvalidParams,
                                               "Invalid params: " + why));
            return;
        }
        const QString guestIP = QString::fromStdString(*ip);
        const QString guestName = QString::fromStdString(*name);
        auto state = std::make_shared<HostReplyState>([respond, id](bool allow, int mode) {
            respond(KPJSONRPCResponse::success(id, Json{{"allow", allow}, {"mode", mode}}));
        });
        KPHostControlReply reply = [state](bool allow, int mode) { state->answer(allow, mode); };
        auto d = delegate();
        if (!d) {
            reply(false, 1);
            return;
        }
        if (*fullscreen)
            d->hostControlDidReceiveAskFullscreen(this, guestIP, guestName, std::move(reply));
        else
            d->transmitterHostControlDidReceiveAskRequestStream(this, guestIP, guestName, std::move(reply));
        return;
    }
    if (request.method() == M::HostAutoDisplay) {
        QByteArray data;
        if (auto d = delegate())
            data = d->hostControlDidAskedToAutoWifiDisplay(this);
        respond(KPJSONRPCResponse::success(id, Json{{"data", data.toBase64().toStdString()}}));
        return;
    }
    respond(KPJSONRPCResponse::failure(id, -32601, "Method not found"));
}
