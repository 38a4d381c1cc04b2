#pragma once

#include <QString>

// Why a configuration fetch or parse failed; `localizedDescription` is what the user is shown.
struct PairingError
{
    enum class Kind
    {
        Transport,   // no connection, connection lost, bad URL
        Timeout,     // no answer within the time limit
        TooLarge,    // the body went over the size limit
        Redirect,    // a redirect to another host (not followed)
        InvalidJson, // the body is not JSON
    };

    Kind kind = Kind::Transport;
    QString localizedDescription;
};
