#include "QuorbelOSXUtility/LibUsbDeviceHandle.h"

#include "QuorbelOSXUtility/LibUsbContext.h"
#include "QuorbelOSXUtility/UtilityLogging.h"

#include <algorithm>
#include <libusb.h>
#include <limits>

UsbResult LibUsbDeviceHandle::resultOf(int libusbError)
{
    switch (libusbError) {
    case LIBUSB_SUCCESS:
        return UsbResult::Ok;
    case LIBUSB_ERROR_NOT_FOUND:
        return UsbResult::NotFound;
    case LIBUSB_ERROR_ACCESS:
        return UsbResult::AccessDenied;
    case LIBUSB_ERROR_BUSY:
        return UsbResult::Busy;
    case LIBUSB_ERROR_TIMEOUT:
        return UsbResult::Timeout;
    case LIBUSB_ERROR_NO_DEVICE:
        return UsbResult::NoDevice;
    case LIBUSB_ERROR_INVALID_PARAM:
        return UsbResult::InvalidArgument;
    default:
        return UsbResult::Io;
    }
}

LibUsbDeviceHandle::LibUsbDeviceHandle(std::shared_ptr<LibUsbContext> context, libusb_device_handle* handle)
    : m_context(std::move(context)), m_handle(handle)
{
}

LibUsbDeviceHandle::~LibUsbDeviceHandle()
{
    for (std::uint8_t number : m_claimed)
        libusb_release_interface(m_handle, number);
    libusb_close(m_handle);
}

UsbResult LibUsbDeviceHandle::interfaces(std::vector<UsbInterface>& out)
{
    out.clear();
    libusb_config_descriptor* config = nullptr;
    const int rc = libusb_get_active_config_descriptor(libusb_get_device(m_handle), &config);
    if (rc != LIBUSB_SUCCESS)
        return resultOf(rc);
    std::unique_ptr<libusb_config_descriptor, decltype(&libusb_free_config_descriptor)> owner(
        config, &libusb_free_config_descriptor);
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        if (interface.num_altsetting < 1)
            continue;
        const libusb_interface_descriptor& setting = interface.altsetting[0];
        UsbInterface result;
        result.number = setting.bInterfaceNumber;
        result.interfaceClass = setting.bInterfaceClass;
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& descriptor = setting.endpoint[e];
            UsbEndpoint endpoint;
            endpoint.address = descriptor.bEndpointAddress;
            switch (descriptor.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) {
            case LIBUSB_ENDPOINT_TRANSFER_TYPE_CONTROL:
                endpoint.type = UsbEndpoint::Type::Control;
                break;
            case LIBUSB_ENDPOINT_TRANSFER_TYPE_ISOCHRONOUS:
                endpoint.type = UsbEndpoint::Type::Isochronous;
                break;
            case LIBUSB_ENDPOINT_TRANSFER_TYPE_BULK:
                endpoint.type = UsbEndpoint::Type::Bulk;
                break;
            default:
                endpoint.type = UsbEndpoint::Type::Interrupt;
                break;
            }
            endpoint.direction = (descriptor.bEndpointAddress & LIBUSB_ENDPOINT_IN)
                                     ? UsbEndpoint::Direction::In
                                     : UsbEndpoint::Direction::Out;
            result.endpoints.push_back(endpoint);
        }
        out.push_back(std::move(result));
    }
    return UsbResult::Ok;
}

UsbResult LibUsbDeviceHandle::claimInterface(std::uint8_t number)
{
    const int rc = libusb_claim_interface(m_handle, number);
    if (rc == LIBUSB_SUCCESS)
        m_claimed.insert(number);
    return resultOf(rc);
}

UsbResult LibUsbDeviceHandle::releaseInterface(std::uint8_t number)
{
    if (m_claimed.erase(number) == 0)
        return UsbResult::NotFound;
    return resultOf(libusb_release_interface(m_handle, number));
}

UsbResult LibUsbDeviceHandle::bulkWrite(std::uint8_t endpoint, const QByteArray& data,
                                        std::chrono::milliseconds timeout, int* transferred)
{
    if (transferred)
        *transferred = 0;
    if ((endpoint & LIBUSB_ENDPOINT_IN) || data.size() > std::numeric_limits<int>::max())
        return UsbResult::InvalidArgument;
    // libusb takes a mutable buffer; a zero timeout would mean "wait forever", so the
    // smallest timeout is one millisecond.
    QByteArray buffer = data;
    const auto ms =
        std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 1, std::numeric_limits<unsigned>::max());
    int done = 0;
    const int rc = libusb_bulk_transfer(m_handle, endpoint, reinterpret_cast<unsigned char*>(buffer.data()),
                                        static_cast<int>(buffer.size()), &done, static_cast<unsigned>(ms));
    if (transferred)
        *transferred = done;
    if (rc == LIBUSB_SUCCESS && done != buffer.size())
        return UsbResult::Io;
    return resultOf(rc);
}
