#include "Beamline/JsonAccess.h"

#include <cmath>

namespace JsonAccess {

std::string describe(ReadError error, std::string_view key)
{
    const std::string name = "\"" + std::string(key) + "\"";
    switch (error) {
    case ReadError::None:
        return name + " is valid";
    case ReadError::NotAnObject:
        return "the container of " + name + " is not an object";
    case ReadError::Missing:
        return name + " is missing";
    case ReadError::WrongType:
        return name + " has the wrong type";
    case ReadError::OutOfRange:
        return name + " is out of range";
    }
    return name + " is invalid";
}

namespace {

template <typename T> Read<T> fail(ReadError e)
{
    return Read<T>{std::nullopt, e};
}

template <typename T> Read<T> ok(T v)
{
    return Read<T>{std::move(v), ReadError::None};
}

// Finds a member; sets `error` to NotAnObject or Missing when there is none.
const Json* find(const Json& object, std::string_view key, ReadError& error)
{
    if (!object.is_object()) {
        error = ReadError::NotAnObject;
        return nullptr;
    }
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        error = ReadError::Missing;
        return nullptr;
    }
    error = ReadError::None;
    return &*it;
}

} // namespace

const Json* member(const Json& object, std::string_view key)
{
    ReadError e;
    return find(object, key, e);
}

Read<bool> boolean(const Json& object, std::string_view key)
{
    ReadError e;
    const Json* v = find(object, key, e);
    if (!v)
        return fail<bool>(e);
    if (!v->is_boolean())
        return fail<bool>(ReadError::WrongType);
    return ok(v->get_ref<const Json::boolean_t&>());
}

Read<std::int64_t> asInteger(const Json& v, std::int64_t min, std::int64_t max)
{
    if (v.is_null())
        return fail<std::int64_t>(ReadError::Missing);
    if (v.is_number_unsigned()) {
        const auto u = v.get_ref<const Json::number_unsigned_t&>();
        if (max < 0 || u > static_cast<std::uint64_t>(max))
            return fail<std::int64_t>(ReadError::OutOfRange);
        const auto s = static_cast<std::int64_t>(u);
        if (s < min)
            return fail<std::int64_t>(ReadError::OutOfRange);
        return ok(s);
    }
    if (v.is_number_integer()) {
        const auto s = v.get_ref<const Json::number_integer_t&>();
        if (s < min || s > max)
            return fail<std::int64_t>(ReadError::OutOfRange);
        return ok(static_cast<std::int64_t>(s));
    }
    return fail<std::int64_t>(ReadError::WrongType);
}

Read<std::int64_t> integer(const Json& object, std::string_view key, std::int64_t min, std::int64_t max)
{
    ReadError e;
    const Json* v = find(object, key, e);
    if (!v)
        return fail<std::int64_t>(e);
    return asInteger(*v, min, max);
}

Read<double> number(const Json& object, std::string_view key, double min, double max)
{
    ReadError e;
    const Json* v = find(object, key, e);
    if (!v)
        return fail<double>(e);
    double d = 0;
    if (v->is_number_float())
        d = v->get_ref<const Json::number_float_t&>();
    else if (v->is_number_unsigned())
        d = static_cast<double>(v->get_ref<const Json::number_unsigned_t&>());
    else if (v->is_number_integer())
        d = static_cast<double>(v->get_ref<const Json::number_integer_t&>());
    else
        return fail<double>(ReadError::WrongType);
    if (!std::isfinite(d) || d < min || d > max)
        return fail<double>(ReadError::OutOfRange);
    return ok(d);
}

Read<std::string> asString(const Json& v, std::size_t maxBytes)
{
    if (v.is_null())
        return fail<std::string>(ReadError::Missing);
    if (!v.is_string())
        return fail<std::string>(ReadError::WrongType);
    const auto& s = v.get_ref<const Json::string_t&>();
    if (s.size() > maxBytes)
        return fail<std::string>(ReadError::OutOfRange);
    return ok(s);
}

Read<std::string> string(const Json& object, std::string_view key, std::size_t maxBytes)
{
    ReadError e;
    const Json* v = find(object, key, e);
    if (!v)
        return fail<std::string>(e);
    return asString(*v, maxBytes);
}

Read<const Json*> objectMember(const Json& object, std::string_view key)
{
    ReadError e;
    const Json* v = find(object, key, e);
    if (!v)
        return fail<const Json*>(e);
    if (!v->is_object())
        return fail<const Json*>(ReadError::WrongType);
    return ok(v);
}

Read<const Json*> arrayMember(const Json& object, std::string_view key)
{
    ReadError e;
    const Json* v = find(object, key, e);
    if (!v)
        return fail<const Json*>(e);
    if (!v->is_array())
        return fail<const Json*>(ReadError::WrongType);
    return ok(v);
}

} // namespace JsonAccess
