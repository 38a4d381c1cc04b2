#pragma once

#include "QuorbelOSXUtility/UsbBus.h"

#include <memory>
#include <set>

struct libusb_device_handle;
class LibUsbContext;

// An opened libusb device. Destruction releases the claimed interfaces and closes it.
class LibUsbDeviceHandle : public UsbDeviceHandle
{
public:
    LibUsbDeviceHandle(std::shared_ptr<LibUsbContext> context, libusb_device_handle* handle);
    ~LibUsbDeviceHandle() override;
    LibUsbDeviceHandle(const LibUsbDeviceHandle&) = delete;
    LibUsbDeviceHandle& operator=(const LibUsbDeviceHandle&) = delete;

    UsbResult interfaces(std::vector<UsbInterface>& out) override;
    UsbResult claimInterface(std::uint8_t number) override;
    UsbResult releaseInterface(std::uint8_t number) override;
    UsbResult bulkWrite(std::uint8_t endpoint, const QByteArray& data, std::chrono::milliseconds timeout,
                        int* transferred) override;

    // Maps a libusb error code.
    static UsbResult resultOf(int libusbError);

private:
    std::shared_ptr<LibUsbContext> m_context; // outlives m_handle
    libusb_device_handle* m_handle;
    std::set<std::uint8_t> m_claimed;
};
