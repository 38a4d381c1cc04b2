#pragma once

#include "QuorbelOSXUtility/SimulatedUsbFormat.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <map>

class QFileSystemWatcher;
class QTimer;

// One device on a simulated USB bus directory, for tests and emulators: plugging writes
// NAME.json atomically (temporary file, then rename), unplugging deletes it, and what the
// host writes to a bulk OUT endpoint can be read back from NAME.ep<address>.out.
//
// Typical emulator use:
//   SimulatedUsbDevice device(dir, "accessory");
//   device.plug(SimulatedUsbDevice::rawModeAccessory());
//   QObject::connect(&device, &SimulatedUsbDevice::endpointWritten, ctx, [&](quint8, QByteArray bytes)
//   {...}); device.watchEndpoint(SimulatedUsbDevice::kAccessoryBulkOutAddress);
//   ... device.plug(SimulatedUsbDevice::networkModeAccessory());  // re-enumerate in network mode
//
// The destructor unplugs the device if this object plugged it and it is still plugged.
class SimulatedUsbDevice : public QObject
{
    Q_OBJECT
public:
    // The accessory's network mode, as the accessory link looks for it.
    static constexpr std::uint16_t kNetworkModeVendorId = 0x0525;
    static constexpr std::uint16_t kNetworkModeProductId = 0xA4A2;
    static constexpr const char* kNetworkModeProductName = "PIKORA ECM/RNDIS";
    // The raw mode the accessory first enumerates in (the shipped description file's ids).
    static constexpr std::uint16_t kRawModeVendorId = 0x1DE1;
    static constexpr std::uint16_t kRawModeProductId = 0xA101;
    // Endpoints of the accessory's CDC-Data interface in both modes.
    static constexpr std::uint8_t kAccessoryBulkInAddress = 0x81;
    static constexpr std::uint8_t kAccessoryBulkOutAddress = 0x02;

    // A raw-mode accessory: one CDC-Data interface (class 10) with bulk IN 0x81 and bulk
    // OUT 0x02.
    static SimulatedUsbDescription rawModeAccessory(std::uint16_t vendorId = kRawModeVendorId,
                                                    std::uint16_t productId = kRawModeProductId);
    // "PIKORA ECM/RNDIS" (0x0525:0xA4A2): a communications interface (class 2, interrupt IN
    // 0x83) and a CDC-Data interface (class 10, bulk IN 0x81, bulk OUT 0x02).
    static SimulatedUsbDescription networkModeAccessory();

    // `name` must be a plain file name stem (no '/', not starting with '.').
    SimulatedUsbDevice(const QString& directory, const QString& name, QObject* parent = nullptr);
    ~SimulatedUsbDevice() override;

    QString directory() const { return m_directory; }
    QString name() const { return m_name; }
    QString descriptionPath() const;
    QString endpointPath(std::uint8_t address) const;

    // Attaches the device with this description (creating the directory when needed). A
    // device that is already plugged is replaced, which the bus sees as a new attachment.
    // The OUT endpoint files of the new description are emptied first: a freshly attached
    // device has received nothing.
    bool plug(const SimulatedUsbDescription& description, QString* error = nullptr);
    // Detaches the device. Succeeds when it was not plugged. Endpoint files stay readable.
    bool unplug(QString* error = nullptr);
    bool isPlugged() const;
    // The description of the last plug().
    const SimulatedUsbDescription& description() const { return m_description; }

    // Everything the host has written to this endpoint since the last plug() or clear
    // (at most 16 MiB are read).
    QByteArray endpointData(std::uint8_t address) const;
    bool clearEndpointData(std::uint8_t address);

    // Starts reporting bytes written to this endpoint through endpointWritten(): first what
    // is already there, then each new chunk as it lands (the directory is watched, and
    // polled every 100 ms as a safety net). An endpoint file that shrinks is read again
    // from its start.
    void watchEndpoint(std::uint8_t address);
    void unwatchEndpoint(std::uint8_t address);

signals:
    void endpointWritten(quint8 address, const QByteArray& bytes);

private:
    void pollEndpoints();

    QString m_directory;
    QString m_name;
    SimulatedUsbDescription m_description;
    bool m_pluggedByUs = false;
    std::map<std::uint8_t, qint64> m_watchedOffsets;
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer* m_pollTimer = nullptr;
};
