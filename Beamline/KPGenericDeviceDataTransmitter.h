#pragma once

// The transmitter for KPGenericDevice (and KPScreenDevice) receivers: the control and media
// link of docs/beamline-protocol.md, driven by KPDeviceController.
//
// Threads: the KPDataTransmitter operations may be called from any thread. The operations in
// the "device controller" section are called on the main thread and report there. Pointer
// events, host-control callbacks, "screenPosition" changes and the notifications
// "stopDisplay", "pauseDisplay" and "resumeDisplay" come from Beamline's link thread.

#include "Beamline/KPDataTransmitter.h"
#include "Beamline/KPDataTransmitterConferenceControl.h"
#include "Beamline/KPError.h"
#include "Beamline/KPHIDEventController.h"
#include "Beamline/KPPrototypeDevice.h"
#include "Beamline/KPSplitScreenState.h"

#include <QPointer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class KPReceiverLink;
class KPJSONRPCNotification;
class KPJSONRPCRequest;
class QThread;

// Builds the device record of a registration from a receiver description.
using KPDeviceFactory =
    std::function<std::shared_ptr<KPPrototypeDevice>(const KPRemoteHost& host, double connectionTimeout)>;

class KPGenericDeviceDataTransmitter : public KPDataTransmitter,
                                       public std::enable_shared_from_this<KPGenericDeviceDataTransmitter>
{
    Q_OBJECT
public:
    // currentState() values.
    static constexpr int kStateDoNotSend = 1;
    static constexpr int kStateStreaming = 2;
    // How long a stream request may wait for its answer; once the receiver says that a
    // conference host decides ("hostControl.wait"), the host's dialog may take longer.
    static constexpr std::chrono::milliseconds kStartTimeout{10000};
    static constexpr std::chrono::milliseconds kHostDecisionTimeout{120000};

    using Completion = std::function<void(std::optional<KPError> error)>;

    // `linkThread` runs the link; `context` (a main-thread object) receives the main-thread
    // callbacks and drops them once it is destroyed.
    KPGenericDeviceDataTransmitter(std::shared_ptr<KPPrototypeDevice> device, KPDeviceFactory deviceFactory,
                                   QThread* linkThread, QObject* context);
    ~KPGenericDeviceDataTransmitter() override;

    // --- KPDataTransmitter
    std::shared_ptr<KPPrototypeDevice> connectedDevice() const override;
    int currentState() const override;
    std::optional<KPSocketStatus> socketStatus() const override;
    void sendH264Data(const QByteArray& accessUnit, int width, int height) override;
    void sendImageWithData(const QByteArray& jpeg) override;
    void sendPCMData(const QByteArray& pcm) override;
    // A capture-time frame goes in front of the picture; both are queued as one entry, so
    // the drop policy keeps or drops them together.
    void sendH264Data(const QByteArray& accessUnit, int width, int height,
                      std::chrono::steady_clock::time_point captureTime) override;
    void sendImageWithData(const QByteArray& jpeg,
                           std::chrono::steady_clock::time_point captureTime) override;
    KPSplitScreenController* splitScreenController() override { return &m_split; }
    KPHIDEventController* HIDEventController() override { return &m_hid; }
    KPDataTransmitterConferenceControl* conferenceController() override;
    // Withdraws this guest's waiting stream request; the pending start then fails with
    // KPError::Cancelled.
    void cancelRequest() override;

    // --- device controller (main thread)
    // Connects and runs the hello exchange; `done` runs exactly once.
    void open(Completion done);
    // Fuzzing and tests: the link is created on the calling thread without a socket, and the
    // receiver's bytes are fed with its receiveForTesting() (the hello answer first).
    KPReceiverLink* openWithoutSocketForTesting(Completion done);
    // Ends the link. A pending open or start completes with KPError::Cancelled; a running
    // display stream ends (display-ended callback).
    void close();
    bool isConnected() const;
    // Asks the receiver to show this sender; `done` runs exactly once (nil error = the receiver
    // accepted the stream).
    void startDisplay(Completion done);
    // Ends the display stream (display-ended callback when one was running).
    void stopDisplay();
    bool isDisplayOn() const { return m_displayOn; }
    // Runs on the main thread whenever a running display stream ends, whatever the reason.
    void setDisplayEndedCallback(std::function<void()> callback);
    // Runs on the main thread when an open link ends without close().
    void setLinkClosedCallback(std::function<void(const KPError&)> callback);

    // --- figures
    quint64 droppedFrames() const;
    quint64 discardedFrames() const { return m_discarded; }
    qint64 queuedBytes() const;
    // How long the oldest media still on its way to the receiver has waited.
    std::chrono::steady_clock::duration mediaAge() const;

private:
    class Conference;
    friend class Conference;

    KPReceiverLink* openLink(Completion done, bool withoutSocket);
    void onOpened(const Json& hello);
    void onLinkEnded(const KPError& error, bool wasOpen);
    void onNotification(const KPJSONRPCNotification& notification);
    void onRequest(const KPJSONRPCRequest& request);
    void applyLayout(const Json& object);
    void endDisplay(bool postStopNotification);
    bool mayQueueMedia();
    void queueH264(const QByteArray& accessUnit, int width, int height,
                   std::optional<std::chrono::steady_clock::time_point> captureTime);
    void queueJpeg(const QByteArray& jpeg, std::optional<std::chrono::steady_clock::time_point> captureTime);
    void postToMain(std::function<void()> fn) const;
    std::shared_ptr<KPDataTransmitterHostControlDelegate> delegate() const;

    const KPDeviceFactory m_deviceFactory;
    QThread* const m_linkThread;
    const QPointer<QObject> m_context;

    mutable std::mutex m_mutex;
    std::shared_ptr<KPPrototypeDevice> m_device;
    KPReceiverLink* m_link = nullptr;
    Completion m_openDone;
    Completion m_startDone;
    long long m_startRequestId = 0;      // the pending startDisplay request, 0 when none
    long long m_fullscreenRequestId = 0; // the last requestFullscreen still unanswered, 0 when none
    std::function<void()> m_displayEnded;
    std::function<void(const KPError&)> m_linkClosed;
    QString m_hostName;

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_displayOn{false};
    std::atomic<bool> m_paused{false};
    std::atomic<int> m_role{0};
    std::atomic<int> m_conferenceVersion{0};
    std::atomic<quint64> m_discarded{0};
    std::atomic<quint64> m_droppedBeforeClose{0};

    KPSplitScreenState m_split;
    KPHIDEventController m_hid;
    std::unique_ptr<Conference> m_conference;
};
