#pragma once

// The transmitter seen by the capture session, audio forwarding and projection control.
// Calls may come from any thread (the capture session calls from its send queue); the
// implementation queues pictures and PCM in call order.

#include <QByteArray>
#include <QObject>
#include <QSize>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class KPPrototypeDevice;
class KPHIDEventController;
class KPDataTransmitterConferenceControl;

// Back-pressure as seen by senders: false while the bytes queued for the socket are above
// the transmitter's bound.
struct KPSocketStatus
{
    bool readyToSendH264 = true;
    bool readyToSendPCMData = true;
};

class KPSplitScreenController
{
public:
    virtual ~KPSplitScreenController() = default;
    virtual int screenNumber() const = 0;
    virtual int screenPosition() const = 0;
};

class KPDataTransmitter : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~KPDataTransmitter() override = default;

    // The device this transmitter is connected to (may be null when not connected).
    virtual std::shared_ptr<KPPrototypeDevice> connectedDevice() const = 0;
    // 1 = do not send; anything else = send.
    virtual int currentState() const = 0;
    // No value stands for a nil status object (= send).
    virtual std::optional<KPSocketStatus> socketStatus() const = 0;

    virtual void sendH264Data(const QByteArray& accessUnit, int width, int height) = 0;
    virtual void sendImageWithData(const QByteArray& jpeg) = 0;
    virtual void sendPCMData(const QByteArray& pcm) = 0;
    // The same, telling the receiver when the picture was captured (the steady-clock time of
    // the capture tick) so that it can measure capture-to-display latency. Transmitters that
    // cannot carry the time send the picture alone.
    virtual void sendH264Data(const QByteArray& accessUnit, int width, int height,
                              std::chrono::steady_clock::time_point captureTime)
    {
        (void)captureTime;
        sendH264Data(accessUnit, width, height);
    }
    virtual void sendImageWithData(const QByteArray& jpeg, std::chrono::steady_clock::time_point captureTime)
    {
        (void)captureTime;
        sendImageWithData(jpeg);
    }

    virtual KPSplitScreenController* splitScreenController() = 0;
    virtual KPHIDEventController* HIDEventController() = 0;
    virtual KPDataTransmitterConferenceControl* conferenceController() = 0;
    virtual void cancelRequest() = 0;

signals:
    // The observable "screenPosition": emitted (on any thread) whenever the receiver changes
    // the split-screen layout.
    void screenPositionChanged(int screenNumber, int screenPosition);
};
