#pragma once

// One guest's request waiting for this host's answer: who asks, whether for the full
// screen, and the receiver's reply block. Two requests are the same request when their
// identifiers are equal; nothing else is compared.
//
// The reply goes through reply(), which passes it on at most once: a request can be answered
// from a dialog button and withdrawn or retired at the same moment, and the receiver must
// never see two answers. Safe to use from any thread.

#include "Beamline/KPDataTransmitterHostControlDelegate.h"

#include <QString>
#include <mutex>

class KPHostControlRequest
{
public:
    // A fresh request with a new random identifier.
    KPHostControlRequest();
    KPHostControlRequest(const KPHostControlRequest&) = delete;
    KPHostControlRequest& operator=(const KPHostControlRequest&) = delete;

    QString clientIP() const;
    void setClientIP(const QString& ip);
    QString clientName() const;
    void setClientName(const QString& name);
    bool requestingFullscreen() const;
    void setRequestingFullscreen(bool fullscreen);

    // The receiver's reply block; it may be empty.
    void setCompletionblock(KPHostControlReply completion);
    // True while a reply block is set and has not been called.
    bool hasCompletionblock() const;
    // Calls the reply block with (allow, mode) and forgets it. Returns false, doing nothing,
    // when there is no block or it has already been called.
    bool reply(bool allow, int mode);

    // A random UUID in its standard text form, fixed at creation.
    const QString& identifier() const { return m_identifier; }

    bool isEqual(const KPHostControlRequest& other) const { return m_identifier == other.m_identifier; }
    bool operator==(const KPHostControlRequest& other) const { return isEqual(other); }

    // "<address>, ip:<ip>, name:<name>, requestingFullScreen:<true|false>, completionBlock:<block> ,
    // identifier:<identifier>", a missing value shown as "(null)".
    QString description() const;

private:
    const QString m_identifier;
    mutable std::mutex m_mutex;
    QString m_clientIP;
    QString m_clientName;
    bool m_requestingFullscreen = false;
    KPHostControlReply m_completion;
};
