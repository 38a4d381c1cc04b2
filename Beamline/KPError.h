#pragma once

// The error object of Beamline's completions and callbacks. Callbacks take
// std::optional<KPError>: no value is the "nil error" of success.

#include <QString>

struct KPError
{
    enum Code
    {
        ConnectTimeout = 1,   // no link (or no hello answer) within the device's timeout
        ConnectionFailed = 2, // the receiver could not be reached (refused, unreachable)
        ConnectionClosed = 3, // the link ended
        ProtocolError = 4,    // the receiver sent something malformed
        Refused = 5,          // the receiver refused this sender or stream
        DeniedByHost = 6,     // the conference host denied the stream
        Cancelled = 7,        // the request was withdrawn (disconnect, newer connect, cancelRequest)
        NotConnected = 8,     // the operation needs a connected receiver
        InvalidDevice = 9,    // no device, or a device without an address
        Timeout = 10,         // a request on the link had no answer within its deadline
    };

    Code code = ConnectionFailed;
    QString message;

    static KPError make(Code code, const QString& message) { return KPError{code, message}; }
    QString description() const
    {
        return QStringLiteral("Beamline error %1: %2").arg(int(code)).arg(message);
    }
};
