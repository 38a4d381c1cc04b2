#pragma once

// Typed, non-throwing reads of JSON that came from a peer. Every accessor checks the member's
// presence, type and range and reports what was wrong instead of throwing, so a handler can
// answer with an error or drop the message. Use these for every value a receiver, the
// accessory or anything else on the network sent; nlohmann's value()/get<>()/at() throw on a
// wrong type and must not be used on such input.

#include "Beamline/KPJSONRPC.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace JsonAccess {

enum class ReadError
{
    None,
    NotAnObject, // the container itself is not a JSON object
    Missing,     // the member is absent (or null, which counts as absent)
    WrongType,   // present with another JSON type
    OutOfRange   // a number outside the stated bounds, a non-finite number or a string too long
};

// Human-readable "member \"key\" is missing" style text for logs and error replies.
std::string describe(ReadError error, std::string_view key);

// A read value, or why there is none.
template <typename T> struct Read
{
    std::optional<T> value;
    ReadError error = ReadError::None;

    explicit operator bool() const { return value.has_value(); }
    const T& operator*() const { return *value; }
    // The value when present and valid; `fallback` when absent; nullopt when malformed. This is
    // the usual shape for optional members: absence is fine, a wrong type is not.
    std::optional<T> orIfMissing(T fallback) const
    {
        if (value)
            return value;
        if (error == ReadError::Missing)
            return fallback;
        return std::nullopt;
    }
};

// The member itself (any type), or null when `object` is not an object or the member is absent
// or null.
const Json* member(const Json& object, std::string_view key);

Read<bool> boolean(const Json& object, std::string_view key);

// Integers only (a fractional or non-finite number is WrongType); the full 64-bit value is
// range-checked against [min, max] before any narrowing, so a large value never wraps.
Read<std::int64_t> integer(const Json& object, std::string_view key, std::int64_t min, std::int64_t max);

// Any finite number within [min, max].
Read<double> number(const Json& object, std::string_view key, double min, double max);

// A string of at most `maxBytes` bytes.
Read<std::string> string(const Json& object, std::string_view key, std::size_t maxBytes);

// Objects and arrays are returned by pointer into `object` (valid while it lives).
Read<const Json*> objectMember(const Json& object, std::string_view key);
Read<const Json*> arrayMember(const Json& object, std::string_view key);

// The same checks for a value that is not a member (an array element, a bare id).
Read<std::int64_t> asInteger(const Json& value, std::int64_t min, std::int64_t max);
Read<std::string> asString(const Json& value, std::size_t maxBytes);

} // namespace JsonAccess
