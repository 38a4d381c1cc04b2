#pragma once

// The host-control (conference) callbacks a receiver drives. Beamline calls them on its link
// thread. Every operation is optional; the defaults deny what asks for an answer.
//
// A reply block must be called at most once; later calls are ignored. If every copy of a
// reply block is dropped without a call, Beamline answers "deny" itself so the receiver's
// guest is never left waiting.

#include <QByteArray>
#include <QString>
#include <functional>

class KPDataTransmitter;

// allow: the guest may project; mode: 1 = no full screen granted, 2 = full screen granted.
using KPHostControlReply = std::function<void(bool allow, int mode)>;

class KPDataTransmitterHostControlDelegate
{
public:
    virtual ~KPDataTransmitterHostControlDelegate() = default;

    virtual void transmitterHostControlRoleDidChange(KPDataTransmitter* transmitter) { (void)transmitter; }

    // A guest asks this host to project. Return true when the request was kept for a later
    // answer, false when `completion` has already been called.
    virtual bool transmitterHostControlDidReceiveAskRequestStream(KPDataTransmitter* transmitter,
                                                                  const QString& guestIP, const QString& name,
                                                                  KPHostControlReply completion)
    {
        (void)transmitter;
        (void)guestIP;
        (void)name;
        if (completion)
            completion(false, 1);
        return false;
    }
    // A guest asks this host for full-screen projection.
    virtual void hostControlDidReceiveAskFullscreen(KPDataTransmitter* transmitter, const QString& guestIP,
                                                    const QString& name, KPHostControlReply completion)
    {
        (void)transmitter;
        (void)guestIP;
        (void)name;
        if (completion)
            completion(false, 1);
    }
    virtual void transmitterHostControlDidReceiveCancelRequestStream(KPDataTransmitter* transmitter,
                                                                     const QString& guestIP)
    {
        (void)transmitter;
        (void)guestIP;
    }
    virtual void transmitterHostControlDidAskedToDisconnect(KPDataTransmitter* transmitter)
    {
        (void)transmitter;
    }
    // This sender, as a guest, waits for the host's answer.
    virtual void transmitterHostControlWaitForResponse(KPDataTransmitter* transmitter) { (void)transmitter; }
    virtual void transmitterHostControlHostDidAcceptRequest(KPDataTransmitter* transmitter)
    {
        (void)transmitter;
    }
    virtual void transmitterHostControlDenyFromHost(KPDataTransmitter* transmitter) { (void)transmitter; }

    virtual QByteArray hostControlDidAskedToAutoWifiDisplay(KPDataTransmitter* transmitter)
    {
        (void)transmitter;
        return {};
    }
    virtual void hostControlAutoWifiDisplayDidDisconnected(KPDataTransmitter* transmitter)
    {
        (void)transmitter;
    }
    virtual void transmitterHostControlDidParseJRPCMessageFailed(KPDataTransmitter* transmitter,
                                                                 const QString& error)
    {
        (void)transmitter;
        (void)error;
    }
    virtual void transmitterProjectorDidNotifyDisconnect(KPDataTransmitter* transmitter)
    {
        (void)transmitter;
    }
};
