#include "tests/TestSupport/FakeUsbDeviceHandle.h"

using Call = FakeUsbBus::Call;

FakeUsbDeviceHandle::FakeUsbDeviceHandle(std::shared_ptr<FakeUsbBus::State> state, QString deviceId,
                                         std::vector<UsbInterface> interfaces)
    : m_state(std::move(state)), m_deviceId(std::move(deviceId)), m_interfaces(std::move(interfaces))
{
}

FakeUsbDeviceHandle::~FakeUsbDeviceHandle()
{
    for (std::uint8_t number : m_claimed)
        m_state->calls.push_back({Call::Kind::Release, m_deviceId, number});
    m_state->calls.push_back({Call::Kind::Close, m_deviceId});
    --m_state->openHandles;
}

UsbResult FakeUsbDeviceHandle::interfaces(std::vector<UsbInterface>& out)
{
    m_state->calls.push_back({Call::Kind::Interfaces, m_deviceId});
    if (m_state->interfacesResult != UsbResult::Ok)
        return m_state->interfacesResult;
    out = m_interfaces;
    return UsbResult::Ok;
}

UsbResult FakeUsbDeviceHandle::claimInterface(std::uint8_t number)
{
    m_state->calls.push_back({Call::Kind::Claim, m_deviceId, number});
    if (m_state->claimResult != UsbResult::Ok)
        return m_state->claimResult;
    m_claimed.insert(number);
    return UsbResult::Ok;
}

UsbResult FakeUsbDeviceHandle::releaseInterface(std::uint8_t number)
{
    if (m_claimed.erase(number) == 0)
        return UsbResult::NotFound;
    m_state->calls.push_back({Call::Kind::Release, m_deviceId, number});
    return UsbResult::Ok;
}

UsbResult FakeUsbDeviceHandle::bulkWrite(std::uint8_t endpoint, const QByteArray& data,
                                         std::chrono::milliseconds timeout, int* transferred)
{
    m_state->calls.push_back({Call::Kind::Write, m_deviceId, endpoint, data, timeout});
    if (m_state->writeHook)
        m_state->writeHook();
    if (transferred)
        *transferred = m_state->writeResult != UsbResult::Ok ? 0
                       : m_state->writeTransferred < 0       ? static_cast<int>(data.size())
                                                             : m_state->writeTransferred;
    return m_state->writeResult;
}
