#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// What the application needs of the USB bus: matching devices, arrival and removal on the
// main thread, a device's service name (its product string) and manufacturer string, its
// interfaces and endpoints, and a bulk OUT write with a timeout. Backends: libusb-1.0 and a simulated
// directory bus.

struct UsbEndpoint
{
    enum class Type
    {
        Control,
        Isochronous,
        Bulk,
        Interrupt
    };
    enum class Direction
    {
        In,
        Out
    };
    std::uint8_t address = 0;
    Type type = Type::Bulk;
    Direction direction = Direction::In;
};

struct UsbInterface
{
    std::uint8_t number = 0;
    std::uint8_t interfaceClass = 0;
    std::vector<UsbEndpoint> endpoints;
};

struct UsbDeviceInfo
{
    QString id; // stable for the device's life on the bus
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    QString serviceName;  // product string
    QString manufacturer; // manufacturer string; empty when the device has none
};

enum class UsbResult
{
    Ok,
    NotFound,
    AccessDenied,
    Busy,
    Timeout,
    Io,
    NoDevice,
    InvalidArgument
};
QString toString(UsbResult r);

// An opened device. Closing (destruction) releases every claimed interface.
class UsbDeviceHandle
{
public:
    virtual ~UsbDeviceHandle() = default;
    virtual UsbResult interfaces(std::vector<UsbInterface>& out) = 0;
    virtual UsbResult claimInterface(std::uint8_t number) = 0;
    virtual UsbResult releaseInterface(std::uint8_t number) = 0;
    virtual UsbResult bulkWrite(std::uint8_t endpoint, const QByteArray& data,
                                std::chrono::milliseconds timeout, int* transferred) = 0;
};

class UsbBus : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~UsbBus() override = default;

    // The bus the process uses: the simulated one when `--usb-sim DIR` or PIKORA_USB_SIM_DIR
    // names a directory, libusb otherwise.
    static std::unique_ptr<UsbBus> create(const QString& simulatedDirectory, QObject* parent = nullptr);

    // Starts watching for devices with these ids; devices already present are reported by
    // devicesPresent() and not again by deviceArrived(). Returns false with `error` filled
    // when the backend cannot start.
    virtual bool startWatching(std::uint16_t vendorId, std::uint16_t productId, QString* error) = 0;
    virtual void stopWatching(std::uint16_t vendorId, std::uint16_t productId) = 0;
    virtual std::vector<UsbDeviceInfo> devicesPresent(std::uint16_t vendorId, std::uint16_t productId) = 0;
    virtual std::unique_ptr<UsbDeviceHandle> open(const QString& deviceId, UsbResult* result) = 0;

signals:
    // Emitted on the thread that owns the bus (the main thread).
    void deviceArrived(const UsbDeviceInfo& device);
    void deviceRemoved(const UsbDeviceInfo& device);
};

Q_DECLARE_METATYPE(UsbDeviceInfo)
