#pragma once

// The conference side of a transmitter: this sender's role on the receiver and the
// host-control delegate. Thread-safe.

#include <QString>
#include <functional>
#include <memory>

class KPDataTransmitterHostControlDelegate;

class KPDataTransmitterConferenceControl
{
public:
    virtual ~KPDataTransmitterConferenceControl() = default;

    // The receiver's conference exchange version (0 when it has none).
    virtual int version() const = 0;
    // 0 = none, 1 = host, 2 = guest.
    virtual int currentRole() const = 0;
    bool isHost() const { return currentRole() == 1; }
    bool isGuest() const { return currentRole() == 2; }

    // The delegate is held weakly: it is never called after its owner has released it.
    virtual std::shared_ptr<KPDataTransmitterHostControlDelegate> hostControlDelegate() const = 0;
    virtual void setHostControlDelegate(std::weak_ptr<KPDataTransmitterHostControlDelegate> delegate) = 0;

    // Asks the receiver for (or to leave) full-screen projection; `complete` runs once on the
    // main thread with whether the receiver granted it (false on any failure).
    virtual void requestFullscreen(bool fullscreen, std::function<void(bool granted)> complete) = 0;
    void requestFullscreen(std::function<void(bool granted)> complete)
    {
        requestFullscreen(true, std::move(complete));
    }

    // The name this sender shows on the receiver (sent with the next hello).
    virtual void setHostName(const QString& name) = 0;
};
