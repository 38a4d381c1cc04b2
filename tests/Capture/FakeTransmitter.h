#pragma once

#include "Beamline/KPDataTransmitter.h"
#include "Beamline/KPPrototypeDevice.h"

#include <QByteArray>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

// Records what the capture session hands over; readiness, state and the split-screen
// layout are set by the test.
class FakeSplitScreen : public KPSplitScreenController
{
public:
    int screenNumber() const override { return number.load(); }
    int screenPosition() const override { return position.load(); }
    std::atomic<int> number{1};
    std::atomic<int> position{1}; // counted from 1: screen 1 of 1 is the whole screen
};

// A connected receiver, for the audio path's "is anything connected" test.
class FakeReceiverDevice : public KPPrototypeDevice
{
public:
    QString hostName() const override { return QStringLiteral("receiver"); }
    QString displayName() const override { return QStringLiteral("Receiver"); }
    QString ipAddress() const override { return QStringLiteral("127.0.0.2"); }
};

class FakeTransmitter : public KPDataTransmitter
{
public:
    struct Picture
    {
        QByteArray data;
        int width = 0;
        int height = 0;
        bool h264 = true;
        // Passed with the picture (timed calls only), and when the call came.
        std::optional<std::chrono::steady_clock::time_point> captureTime;
        std::chrono::steady_clock::time_point handedOverAt;
    };

    std::shared_ptr<KPPrototypeDevice> connectedDevice() const override
    {
        std::lock_guard lock(mutex);
        return device;
    }
    int currentState() const override { return state.load(); }
    std::optional<KPSocketStatus> socketStatus() const override
    {
        if (!hasStatus.load())
            return std::nullopt;
        KPSocketStatus status;
        status.readyToSendH264 = ready.load();
        status.readyToSendPCMData = pcmReady.load();
        return status;
    }
    void sendH264Data(const QByteArray& accessUnit, int width, int height) override
    {
        record({accessUnit, width, height, true, std::nullopt, {}});
    }
    void sendImageWithData(const QByteArray& jpeg) override { record({jpeg, 0, 0, false, std::nullopt, {}}); }
    void sendH264Data(const QByteArray& accessUnit, int width, int height,
                      std::chrono::steady_clock::time_point captureTime) override
    {
        record({accessUnit, width, height, true, captureTime, {}});
    }
    void sendImageWithData(const QByteArray& jpeg, std::chrono::steady_clock::time_point captureTime) override
    {
        record({jpeg, 0, 0, false, captureTime, {}});
    }
    void sendPCMData(const QByteArray& pcm) override
    {
        std::lock_guard lock(mutex);
        pcmSends.push_back(pcm);
        changed.notify_all();
    }
    KPSplitScreenController* splitScreenController() override { return &split; }
    KPHIDEventController* HIDEventController() override { return nullptr; }
    KPDataTransmitterConferenceControl* conferenceController() override { return nullptr; }
    void cancelRequest() override {}

    std::vector<Picture> received()
    {
        std::lock_guard lock(mutex);
        return pictures;
    }
    std::size_t count()
    {
        std::lock_guard lock(mutex);
        return pictures.size();
    }
    // Waits until at least `n` pictures arrived; false on timeout.
    bool waitForCount(std::size_t n, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return pictures.size() >= n; });
    }
    std::vector<QByteArray> pcmReceived()
    {
        std::lock_guard lock(mutex);
        return pcmSends;
    }
    qsizetype pcmBytes()
    {
        std::lock_guard lock(mutex);
        qsizetype n = 0;
        for (const QByteArray& b : pcmSends)
            n += b.size();
        return n;
    }
    // Waits until at least `n` bytes of PCM arrived; false on timeout.
    bool waitForPcmBytes(qsizetype n, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            qsizetype total = 0;
            for (const QByteArray& b : pcmSends)
                total += b.size();
            return total >= n;
        });
    }
    void setConnectedDevice(std::shared_ptr<KPPrototypeDevice> d)
    {
        std::lock_guard lock(mutex);
        device = std::move(d);
    }
    void clear()
    {
        std::lock_guard lock(mutex);
        pictures.clear();
        pcmSends.clear();
    }

    std::atomic<int> state{0};
    std::atomic<bool> hasStatus{true};
    std::atomic<bool> ready{true};
    std::atomic<bool> pcmReady{true};
    FakeSplitScreen split;

private:
    void record(Picture picture)
    {
        picture.handedOverAt = std::chrono::steady_clock::now();
        std::lock_guard lock(mutex);
        pictures.push_back(std::move(picture));
        changed.notify_all();
    }

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<Picture> pictures;
    std::vector<QByteArray> pcmSends;
    std::shared_ptr<KPPrototypeDevice> device;
};
