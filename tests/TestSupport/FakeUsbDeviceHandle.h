#pragma once

#include "tests/TestSupport/FakeUsbBus.h"

// A device opened on a FakeUsbBus: records each call in the bus's state and answers with
// the results set there. Destruction releases what is still claimed and records Close.
class FakeUsbDeviceHandle : public UsbDeviceHandle
{
public:
    FakeUsbDeviceHandle(std::shared_ptr<FakeUsbBus::State> state, QString deviceId,
                        std::vector<UsbInterface> interfaces);
    ~FakeUsbDeviceHandle() override;

    UsbResult interfaces(std::vector<UsbInterface>& out) override;
    UsbResult claimInterface(std::uint8_t number) override;
    UsbResult releaseInterface(std::uint8_t number) override;
    UsbResult bulkWrite(std::uint8_t endpoint, const QByteArray& data, std::chrono::milliseconds timeout,
                        int* transferred) override;

private:
    std::shared_ptr<FakeUsbBus::State> m_state;
    QString m_deviceId;
    std::vector<UsbInterface> m_interfaces;
    std::set<std::uint8_t> m_claimed;
};
