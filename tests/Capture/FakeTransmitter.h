#pragma once

#include "Beamline/KPDataTransmitter.h"

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
    std::atomic<int> position{0};
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

    std::shared_ptr<KPPrototypeDevice> connectedDevice() const override { return nullptr; }
    int currentState() const override { return state.load(); }
    std::optional<KPSocketStatus> socketStatus() const override
    {
        if (!hasStatus.load())
            return std::nullopt;
        KPSocketStatus status;
        status.readyToSendH264 = ready.load();
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
    void sendPCMData(const QByteArray&) override {}
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
    void clear()
    {
        std::lock_guard lock(mutex);
        pictures.clear();
    }

    std::atomic<int> state{0};
    std::atomic<bool> hasStatus{true};
    std::atomic<bool> ready{true};
    FakeSplitScreen split;

private:
    void record(Picture picture)
    {
        picture.handedOverAt = std::chrono::steady_clock::now();
        std::lock_guard lock(mutex);
        pictures.push_back(std::move(picture));
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Picture> pictures;
};
