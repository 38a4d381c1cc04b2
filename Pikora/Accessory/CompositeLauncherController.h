#pragma once

#include "QuorbelOSXUtility/UsbBus.h"
#include "Support/DispatchQueue.h"
#include "Support/NotificationCenter.h"

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

class KPUSBController;

// The accessory's ids in its raw mode, as the shipped device-description file gives them.
inline constexpr std::uint32_t PikoraAccessoryVID = 0x1DE1; // 7649
inline constexpr std::uint32_t PikoraAccessoryPID = 0xA101; // 41217

// Switches the button accessory from its raw USB mode into network mode: whenever the USB
// watcher reports the raw device, the 16-byte switch command (every byte 0xCC) is written in
// one transfer to the bulk OUT endpoint of each of its CDC-Data interfaces. The accessory
// then re-enumerates as "PIKORA ECM/RNDIS". The notifications arrive on the main thread; each
// attempt then runs on the switch queue, a thread of its own, because a bulk write may take
// up to kSwitchWriteTimeout per interface. At most kMaxPendingSwitches attempts wait there
// (one per device; later reports of a device already waiting are dropped, as are reports
// beyond the bound). An attempt closes everything it opened on every path; failures are
// logged and not retried (re-plugging starts a new attempt).
class CompositeLauncherController
{
public:
    static constexpr std::uint8_t kCdcDataInterfaceClass = 10;
    static constexpr int kSwitchCommandSize = 16;
    static constexpr char kSwitchCommandByte = static_cast<char>(0xCC);
    // The accessory answers within milliseconds; this bounds each write.
    static constexpr std::chrono::milliseconds kSwitchWriteTimeout{1000};
    static constexpr int kMaxPendingSwitches = 4;

    // Told the result of every switch attempt (AccessDenied when the device may not be
    // opened), on the thread that ran the attempt.
    using SwitchResultHandler = std::function<void(UsbResult result)>;

    // Which interfaces the switch looks at.
    struct InterfaceRequest
    {
        std::uint8_t interfaceClass = kCdcDataInterfaceClass;
    };

    // The process-wide instance over KPUSBController::sharedKPUSBController() and the default
    // notification centre; created on first use, never destroyed.
    static CompositeLauncherController& shared();

    // `center` null means the default centre. The watcher must outlive this object.
    explicit CompositeLauncherController(KPUSBController& watcher, NotificationCenter* center = nullptr);
    // Finishes the attempts already queued.
    ~CompositeLauncherController();
    CompositeLauncherController(const CompositeLauncherController&) = delete;
    CompositeLauncherController& operator=(const CompositeLauncherController&) = delete;

    std::uint32_t masterPort() const { return 0; }
    std::uint32_t matchingServices() const { return m_matchingServices; }
    void setMatchingServices(std::uint32_t value) { m_matchingServices = value; }

    // Registers for the raw-device notifications, then sets up the watcher, which reports a
    // raw device that is already attached at once (so it is switched during this call).
    // The second form first gives the watcher its bus. Calling setup again does nothing.
    void setup();
    void setup(UsbBus* bus);

    // Set before setup(): the handler is read on the switch queue without a lock.
    void setSwitchResultHandler(SwitchResultHandler handler) { m_switchResultHandler = std::move(handler); }

    void compositeDidAddWithNotificaion(const Notification& notification);
    void compositeDidRemoveWithNotificaion(const Notification& notification);

    // Queues one switch attempt. `device` is the raw device that arrived; without it the first
    // attached raw device is switched. Returns false when the attempt was dropped (nothing to
    // switch, the device already waits, or the queue is full). The attempt's result goes to
    // the switch-result handler, on the switch queue.
    bool switchToRNDIS_ECM_Mode(const std::optional<UsbDeviceInfo>& device = std::nullopt);
    // Waits up to `timeout` for the queued attempts to finish; true when they have.
    bool waitUntilIdle(std::chrono::milliseconds timeout);

    // The first attached device with these ids, if any.
    std::optional<UsbDeviceInfo> getUSBDeviceWithVid(std::uint32_t vendorId, std::uint32_t productId) const;
    // Opens the device and switches every interface that fits the request, in order.
    UsbResult findDeviceAndSwitchMode(const std::optional<UsbDeviceInfo>& device, InterfaceRequest request);
    // Claims one interface, writes the switch command to its bulk OUT endpoint (when it has
    // both a bulk IN and a bulk OUT endpoint) and releases it. The write's result, or
    // NotFound when a bulk endpoint is missing, or the claim's failure.
    static UsbResult examInterfaceAndSwitchWithInterface(UsbDeviceHandle& handle,
                                                         const UsbInterface& interface);
    // A device's service name: its product string.
    static QString objcGetIOServiceName(const UsbDeviceInfo& device);
    // The first endpoint of `interface` with this transfer type and direction.
    static std::optional<UsbEndpoint> GetSpecificPipe(const UsbInterface* interface, UsbEndpoint::Type type,
                                                      UsbEndpoint::Direction direction);

private:
    void reportSwitchResult(UsbResult result) const;

    KPUSBController& m_watcher;
    NotificationCenter& m_center;
    std::uint32_t m_matchingServices = 0;
    bool m_setUp = false;
    NotificationObserver m_addObserver;
    NotificationObserver m_removeObserver;
    SwitchResultHandler m_switchResultHandler;
    std::mutex m_pendingMutex;
    std::set<QString> m_pending; // device ids waiting on the switch queue
    // Declared last: destroyed (drained) first, while everything its attempts use still lives.
    std::unique_ptr<DispatchQueue> m_switchQueue;
};
