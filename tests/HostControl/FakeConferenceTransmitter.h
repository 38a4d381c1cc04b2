#pragma once

// A transmitter with a conference side whose role and version the test sets, counting the
// guest-side cancels; and a recorder for the reply blocks the host hands to the policy.

#include "Beamline/KPDataTransmitter.h"
#include "Beamline/KPDataTransmitterConferenceControl.h"
#include "Beamline/KPDataTransmitterHostControlDelegate.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class FakeConference : public KPDataTransmitterConferenceControl
{
public:
    int version() const override { return versionNumber.load(); }
    int currentRole() const override { return role.load(); }
    std::shared_ptr<KPDataTransmitterHostControlDelegate> hostControlDelegate() const override
    {
        std::lock_guard lock(m_mutex);
        return m_delegate.lock();
    }
    void setHostControlDelegate(std::weak_ptr<KPDataTransmitterHostControlDelegate> delegate) override
    {
        std::lock_guard lock(m_mutex);
        m_delegate = std::move(delegate);
    }
    void requestFullscreen(bool, std::function<void(bool)> complete) override
    {
        if (complete)
            complete(false);
    }
    void setHostName(const QString&) override {}

    std::atomic<int> versionNumber{2};
    std::atomic<int> role{1}; // host

private:
    mutable std::mutex m_mutex;
    std::weak_ptr<KPDataTransmitterHostControlDelegate> m_delegate;
};

class FakeConferenceTransmitter : public KPDataTransmitter
{
public:
    std::shared_ptr<KPPrototypeDevice> connectedDevice() const override { return nullptr; }
    int currentState() const override { return 0; }
    std::optional<KPSocketStatus> socketStatus() const override { return std::nullopt; }
    void sendH264Data(const QByteArray&, int, int) override {}
    void sendImageWithData(const QByteArray&) override {}
    void sendPCMData(const QByteArray&) override {}
    KPSplitScreenController* splitScreenController() override { return nullptr; }
    KPHIDEventController* HIDEventController() override { return nullptr; }
    KPDataTransmitterConferenceControl* conferenceController() override { return &conference; }
    void cancelRequest() override { ++cancels; }

    FakeConference conference;
    std::atomic<int> cancels{0};
};

// Every call of one reply block, in order. The block holds the log, so use_count() tells
// whether the policy still keeps the block.
class ReplyLog : public std::enable_shared_from_this<ReplyLog>
{
public:
    using Calls = std::vector<std::pair<bool, int>>;

    KPHostControlReply block()
    {
        return [self = shared_from_this()](bool allow, int mode) {
            std::lock_guard lock(self->m_mutex);
            self->m_calls.emplace_back(allow, mode);
        };
    }
    Calls calls() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

private:
    mutable std::mutex m_mutex;
    Calls m_calls;
};
