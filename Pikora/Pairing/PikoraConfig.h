#pragma once

// The receiver's configuration file "pikora_config.json": what pairing fetches over HTTP and
// writes into the accessory. Its body comes from the network and is checked here before
// anything else sees it.

#include "Beamline/KPJSONRPC.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

namespace PikoraConfig {

inline constexpr const char* kFileName = "pikora_config.json";
// The largest body accepted; a larger one fails the fetch while it streams in.
inline constexpr std::int64_t kMaxBodyBytes = 1024 * 1024;
// Deepest nesting accepted. The object travels one level deeper as the params of a JSON-RPC
// request, which the accessory link bounds at KPJSONRPCObject::kMaxDepth.
inline constexpr int kMaxDepth = KPJSONRPCObject::kMaxDepth - 1;

struct ParseResult
{
    enum class Kind
    {
        Object,      // `object` holds the file's object, members in the file's order
        NotAnObject, // valid JSON, but an array, string, number, boolean or null
        Invalid,     // not JSON (or too large, or nested too deeply); `error` says why
    };

    Kind kind = Kind::Invalid;
    Json object;
    QString error;
};

// Parses a body. Any top-level value is JSON; only an object is a configuration. Never throws.
ParseResult parse(const QByteArray& body);

} // namespace PikoraConfig
