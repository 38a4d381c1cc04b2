#pragma once

// Host-name resolution for the pairing flow, behind an interface so tests never ask a real
// name server. The product uses QHostInfoResolver.

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class HostResolver
{
public:
    // The first IPv4 address of the name in dotted form, or nothing.
    using Completion = std::function<void(std::optional<QString> address)>;

    virtual ~HostResolver() = default;

    // Resolves without blocking. `completion` runs exactly once on `context`'s thread, unless
    // `context` is destroyed first, in which case it never runs.
    virtual void lookupIPv4(const QString& name, QObject* context, Completion completion) = 0;
};
