#pragma once

#include "Pikora/Pairing/HostResolver.h"

// Resolves through the system's resolver (QHostInfo, asynchronous, on Qt's lookup threads),
// giving up after a time limit so an unanswered name server never leaves an attempt open.
class QHostInfoResolver : public HostResolver
{
public:
    static constexpr int kDefaultTimeoutMs = 5000;

    explicit QHostInfoResolver(int timeoutMs = kDefaultTimeoutMs);

    void lookupIPv4(const QString& name, QObject* context, Completion completion) override;

private:
    int m_timeoutMs;
};
