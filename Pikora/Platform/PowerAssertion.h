#pragma once

#include <QString>
#include <cstdint>

// Keeps the display or the machine awake while held. create() takes an assertion and
// returns its identifier; release() gives it back. Identifier 0 is never handed out, so a
// stored 0 means "none"; releasing 0, an unknown or an already released identifier does
// nothing and is harmless.
class PowerAssertion
{
public:
    enum class Type
    {
        NoDisplaySleep, // the display stays on (and the session is not considered idle)
        NoIdleSleep,    // the machine does not go to sleep on its own
    };

    // Result codes; 0 is success, so the code can be logged as it stands.
    enum class Error : int
    {
        None = 0,
        NoBus = 1,              // the D-Bus bus the service lives on is not reachable
        ServiceUnavailable = 2, // nobody provides the service, or it did not answer in time
        Refused = 3,            // the service answered with an error (for example access denied)
        BadReply = 4,           // the service answered something we cannot use
    };

    using Id = std::uint32_t;

    struct Result
    {
        bool ok = false;
        Id id = 0;
        Error error = Error::None;
        QString message; // why it failed; empty on success

        int code() const { return static_cast<int>(error); }
    };

    virtual ~PowerAssertion() = default;

    // `name` says why, as shown by tools that list inhibitors.
    virtual Result create(Type type, const QString& name) = 0;
    // True when `id` was held and is now released.
    virtual bool release(Id id) = 0;

    // "NoDisplaySleepAssertion" / "NoIdleSleepAssertion", for diagnostics.
    static QString typeName(Type type);
};
