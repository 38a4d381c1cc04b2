#pragma once

#include "QuorbelOSXUtility/UsbBus.h"

#include <map>
#include <memory>
#include <utility>

// The USB bus of the machine through libusb-1.0. Arrival and removal come from libusb's
// hot-plug callbacks where the platform has them (an event thread posts them to the thread
// that owns the bus), else from polling the device list every second. A device's service
// name is its product string (read from sysfs, or from the device when sysfs has none).
// Nothing here talks to a device on the thread that owns the bus: arrivals and polls read
// names on the bus's I/O queue, and devicesPresent() reads names from sysfs only.
// A machine without USB (no /dev/bus/usb) gives a bus that constructs fine and reports the
// problem from startWatching().
class LibUsbBus : public UsbBus
{
    Q_OBJECT
public:
    static constexpr int kPollIntervalMs = 1000;
    // Product strings are logged at most this long.
    static constexpr int kMaxLoggedName = 128;

    enum class EventSource
    {
        Automatic,
        Polling
    };

    // `Polling` ignores hot-plug support (for systems where hot-plug events are unreliable,
    // and for tests).
    explicit LibUsbBus(QObject* parent = nullptr, EventSource source = EventSource::Automatic);
    ~LibUsbBus() override;

    // False when libusb could not be initialised; initError() then says why.
    bool isAvailable() const;
    QString initError() const;
    // True when arrival and removal come from hot-plug callbacks rather than polling.
    bool usesHotplug() const;

    bool startWatching(std::uint16_t vendorId, std::uint16_t productId, QString* error) override;
    void stopWatching(std::uint16_t vendorId, std::uint16_t productId) override;
    std::vector<UsbDeviceInfo> devicesPresent(std::uint16_t vendorId, std::uint16_t productId) override;
    std::unique_ptr<UsbDeviceHandle> open(const QString& deviceId, UsbResult* result) override;

    struct Impl;

private:
    void hotplugArrived(int busNumber, int address, int attempt);
    void deviceIdentified(const UsbDeviceInfo& info, bool unnamed, int busNumber, int address, int attempt);
    void hotplugLeft(int busNumber, int address);
    void poll();
    void pollFinished(const std::map<std::pair<int, int>, UsbDeviceInfo>& now);

    std::unique_ptr<Impl> d;
};
