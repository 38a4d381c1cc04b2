#pragma once

#include "QuorbelOSXUtility/UsbBus.h"

#include <QByteArray>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

// An in-memory UsbBus for tests: devices are attached and detached by hand, every call on
// an opened device is recorded in order, and each step can be made to fail.
class FakeUsbBus : public UsbBus
{
    Q_OBJECT
public:
    struct Device
    {
        UsbDeviceInfo info;
        std::vector<UsbInterface> interfaces;
    };

    struct Call
    {
        enum class Kind
        {
            Open,
            Interfaces,
            Claim,
            Release,
            Write,
            Close
        };
        Call(Kind k, QString id, int n = -1, QByteArray bytes = {}, std::chrono::milliseconds t = {})
            : kind(k), deviceId(std::move(id)), number(n), data(std::move(bytes)), timeout(t)
        {
        }
        Kind kind;
        QString deviceId;
        int number = -1; // interface number (Claim, Release) or endpoint address (Write)
        QByteArray data; // Write
        std::chrono::milliseconds timeout{0};
    };

    // Shared with the handles, so a handle that outlives the bus still records safely.
    struct State
    {
        std::map<QString, Device> devices;
        std::vector<Call> calls;
        int openHandles = 0;
        UsbResult openResult = UsbResult::Ok;
        UsbResult interfacesResult = UsbResult::Ok;
        UsbResult claimResult = UsbResult::Ok;
        UsbResult writeResult = UsbResult::Ok;
        int writeTransferred = -1; // bytes reported by a write; -1 = all of them
        // Detach this device when it is opened (it leaves between arrival and open).
        QString vanishOnOpen;
        // Runs inside every write, on the writing thread (to make writes slow, or watch them).
        std::function<void()> writeHook;
    };

    explicit FakeUsbBus(QObject* parent = nullptr);
    ~FakeUsbBus() override;

    // Adds a device; reports its arrival when its ids are watched.
    void attach(const Device& device);
    // Removes a device; reports its removal when its ids are watched.
    void detach(const QString& deviceId);

    State& state() { return *m_state; }
    const std::vector<Call>& calls() const { return m_state->calls; }
    int openHandles() const { return m_state->openHandles; }
    std::vector<std::pair<std::uint16_t, std::uint16_t>> watched() const;

    QString startWatchingError; // non-empty: startWatching fails with it

    bool startWatching(std::uint16_t vendorId, std::uint16_t productId, QString* error) override;
    void stopWatching(std::uint16_t vendorId, std::uint16_t productId) override;
    std::vector<UsbDeviceInfo> devicesPresent(std::uint16_t vendorId, std::uint16_t productId) override;
    std::unique_ptr<UsbDeviceHandle> open(const QString& deviceId, UsbResult* result) override;

private:
    bool isWatched(const UsbDeviceInfo& info) const;

    std::shared_ptr<State> m_state;
    std::multiset<std::pair<std::uint16_t, std::uint16_t>> m_watched;
};
