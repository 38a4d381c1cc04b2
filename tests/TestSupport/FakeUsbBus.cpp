#include "tests/TestSupport/FakeUsbBus.h"

#include "tests/TestSupport/FakeUsbDeviceHandle.h"

FakeUsbBus::FakeUsbBus(QObject* parent) : UsbBus(parent), m_state(std::make_shared<State>())
{
    qRegisterMetaType<UsbDeviceInfo>();
}

FakeUsbBus::~FakeUsbBus() = default;

bool FakeUsbBus::isWatched(const UsbDeviceInfo& info) const
{
    return m_watched.count({info.vendorId, info.productId}) != 0;
}

std::vector<std::pair<std::uint16_t, std::uint16_t>> FakeUsbBus::watched() const
{
    return {m_watched.begin(), m_watched.end()};
}

void FakeUsbBus::attach(const Device& device)
{
    m_state->devices[device.info.id] = device;
    if (isWatched(device.info))
        emit deviceArrived(device.info);
}

void FakeUsbBus::detach(const QString& deviceId)
{
    const auto it = m_state->devices.find(deviceId);
    if (it == m_state->devices.end())
        return;
    const UsbDeviceInfo info = it->second.info;
    m_state->devices.erase(it);
    if (isWatched(info))
        emit deviceRemoved(info);
}

bool FakeUsbBus::startWatching(std::uint16_t vendorId, std::uint16_t productId, QString* error)
{
    if (!startWatchingError.isEmpty()) {
        if (error)
            *error = startWatchingError;
        return false;
    }
    m_watched.insert({vendorId, productId});
    return true;
}

void FakeUsbBus::stopWatching(std::uint16_t vendorId, std::uint16_t productId)
{
    const auto it = m_watched.find({vendorId, productId});
    if (it != m_watched.end())
        m_watched.erase(it);
}

std::vector<UsbDeviceInfo> FakeUsbBus::devicesPresent(std::uint16_t vendorId, std::uint16_t productId)
{
    std::vector<UsbDeviceInfo> result;
    for (const auto& [id, device] : m_state->devices) {
        if (device.info.vendorId == vendorId && device.info.productId == productId)
            result.push_back(device.info);
    }
    return result;
}

std::unique_ptr<UsbDeviceHandle> FakeUsbBus::open(const QString& deviceId, UsbResult* result)
{
    m_state->calls.push_back({Call::Kind::Open, deviceId});
    if (!m_state->vanishOnOpen.isEmpty() && m_state->vanishOnOpen == deviceId)
        detach(deviceId);
    UsbResult r = m_state->openResult;
    const auto it = m_state->devices.find(deviceId);
    if (r == UsbResult::Ok && it == m_state->devices.end())
        r = UsbResult::NoDevice;
    if (result)
        *result = r;
    if (r != UsbResult::Ok)
        return nullptr;
    ++m_state->openHandles;
    return std::make_unique<FakeUsbDeviceHandle>(m_state, deviceId, it->second.interfaces);
}
