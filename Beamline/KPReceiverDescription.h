#pragma once

// One check of what a receiver says about itself, shared by the discovery reply and the hello
// answer on the control link (docs/beamline-protocol.md, sections 1 and 2.1): the identity
// strings, the protocol version and the "parameters" object with its ports, picture size and
// flags. Everything is read through JsonAccess, so nothing here throws on a wrong type.

#include "Beamline/KPJSONRPC.h"

#include <QString>
#include <optional>

namespace KPReceiverDescription {

constexpr std::size_t kMaxTextField = 256;
constexpr std::int64_t kMaxProtocolVersion = 1000000;
constexpr std::int64_t kMaxPictureSide = 16384;
constexpr std::int64_t kMaxConferenceVersion = 1000000;

// The checked identity of a receiver.
struct Description
{
    QString hostName; // never empty
    QString displayName, deviceModel, vendor, srcvers;
    int protocolVersion = 0;
    Json parameters = Json::object(); // checked; unknown members kept as they are
};

// Checks a "parameters" object: controlPort and configPort 1-65535, maxWidth and maxHeight
// 1-16384, h264 boolean, conferenceVersion an integer 0-1000000, passcode a string (or null).
// Returns an empty string when it is valid, else what is wrong.
QString checkParameters(const Json& parameters);

// Reads the members shared by a discovery reply and a hello answer: a non-empty "hostName"
// of at most 256 bytes; optional "displayName", "deviceModel", "vendor", "srcvers" (strings of
// at most 256 bytes); optional "protocolVersion" (0-1000000); optional "parameters" (see
// checkParameters). No value, and `error` filled, when any of them is malformed.
std::optional<Description> read(const Json& message, QString* error);

} // namespace KPReceiverDescription
