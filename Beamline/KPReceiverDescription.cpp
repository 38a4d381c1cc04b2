#include "Beamline/KPReceiverDescription.h"

#include "Beamline/JsonAccess.h"

namespace KPReceiverDescription {

namespace {

QString describe(JsonAccess::ReadError error, const char* key)
{
    return QString::fromStdString(JsonAccess::describe(error, key));
}

// An optional member: absent is fine, present must pass.
template <typename T> bool optionalOk(const JsonAccess::Read<T>& read)
{
    return read.value || read.error == JsonAccess::ReadError::Missing;
}

// An optional text member; false (and `error` set) when present but malformed.
bool optionalText(const Json& message, const char* key, QString& out, QString* error)
{
    const auto read = JsonAccess::string(message, key, kMaxTextField);
    if (!optionalOk(read)) {
        if (error)
            *error = describe(read.error, key);
        return false;
    }
    out = read ? QString::fromStdString(*read) : QString();
    return true;
}

} // namespace

QString checkParameters(const Json& p)
{
    if (!p.is_object())
        return QStringLiteral("\"parameters\" is not an object");
    for (const char* key : {"controlPort", "configPort"}) {
        const auto read = JsonAccess::integer(p, key, 1, 65535);
        if (!optionalOk(read))
            return describe(read.error, key) + QStringLiteral(" (a port number)");
    }
    for (const char* key : {"maxWidth", "maxHeight"}) {
        const auto read = JsonAccess::integer(p, key, 1, kMaxPictureSide);
        if (!optionalOk(read))
            return describe(read.error, key) + QStringLiteral(" (a picture size 1-16384)");
    }
    if (const auto read = JsonAccess::boolean(p, "h264"); !optionalOk(read))
        return describe(read.error, "h264");
    if (const auto read = JsonAccess::integer(p, "conferenceVersion", 0, kMaxConferenceVersion);
        !optionalOk(read))
        return describe(read.error, "conferenceVersion");
    if (const auto read = JsonAccess::string(p, "passcode", kMaxTextField); !optionalOk(read))
        return describe(read.error, "passcode");
    return {};
}

std::optional<Description> read(const Json& message, QString* error)
{
    auto fail = [&](const QString& why) -> std::optional<Description> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (!message.is_object())
        return fail(QStringLiteral("not a JSON object"));
    Description d;
    const auto host = JsonAccess::string(message, "hostName", kMaxTextField);
    if (!host || host.value->empty())
        return fail(host ? QStringLiteral("\"hostName\" is empty") : describe(host.error, "hostName"));
    d.hostName = QString::fromStdString(*host);
    if (!optionalText(message, "displayName", d.displayName, error) ||
        !optionalText(message, "deviceModel", d.deviceModel, error) ||
        !optionalText(message, "vendor", d.vendor, error) ||
        !optionalText(message, "srcvers", d.srcvers, error))
        return std::nullopt;
    const auto version = JsonAccess::integer(message, "protocolVersion", 0, kMaxProtocolVersion);
    if (!optionalOk(version))
        return fail(describe(version.error, "protocolVersion"));
    d.protocolVersion = version ? int(*version) : 0;
    if (const Json* parameters = JsonAccess::member(message, "parameters")) {
        const QString why = checkParameters(*parameters);
        if (!why.isEmpty())
            return fail(why);
        d.parameters = *parameters;
    }
    return d;
}

} // namespace KPReceiverDescription
