#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <memory>
#include <string>

class NotificationCenter;
class UsbBus;
struct UsbDeviceInfo;

// Posted on the notification centre, no sender object. The user information carries the
// device that caused it under the keys below, so that an observer can tell several devices
// apart; observers that only need the event may ignore it.
extern const char* const kKPRawDeviceDidAddNotification;     // "kKPRawDeviceDidAddNotification"
extern const char* const kKPRawDeviceDidRemoveNotification;  // "kRawKPDeviceDidRemoveNotification"
extern const char* const kKPBulkDeviceDidAddNotification;    // "kKPBulkDeviceDidAddNotification"
extern const char* const kKPBulkDeviceDidRemoveNotification; // "kKPBulkDeviceDidRemoveNotification"
extern const char* const kKPUSBDeviceIdKey;                  // "deviceId" (QString, UsbDeviceInfo::id)
extern const char* const kKPUSBVendorIdKey;                  // "vendorId" (uint)
extern const char* const kKPUSBProductIdKey;                 // "productId" (uint)
extern const char* const kKPUSBServiceNameKey;               // "serviceName" (QString)

// Parses hexadecimal text: optional leading spaces, an optional "0x"/"0X" prefix, then
// hexadecimal digits read up to the first character that is not one ("0x1234" and "1234"
// both give 4660). Missing digits or a value beyond 32 bits give 0. `ok` is false unless the
// whole text was a valid number.
std::uint32_t getHexIntValue(const QString& text, bool* ok = nullptr);

// Watches the USB bus for the accessory's raw mode (and the secondary "bulk-test" device)
// and posts the four notifications above. The ids and the other settings come from the
// device-description file, a JSON resource named after the bundle's "CHIP_MODEL"
// (":/PikoraAccessory.json" by default):
//
//   "MASS_STORAGE_VID", "MASS_STORAGE_PID"  raw-mode ids, hexadecimal text
//   "SUB_DISPLAY_VID", "SUB_DISPLAY_PID"    secondary device ids, hexadecimal text
//   "COMPRESSION_RATE"                      number or numeric text (0 when absent)
//   "USBSCSISTOR_CLASS"                     text ("usbscsistor" when absent or empty)
//   "FRAMEBUFFER_CLASS"                     text ("myframebuffer_driver" when absent or empty)
//
// A missing or unreadable file, or a value of the wrong form, is reported with one diagnostic
// line when the file is loaded and gives the defaults (a key that is simply absent gives its
// default quietly). Ids of 0, or beyond 16 bits, match no device and are not watched.
class KPUSBController : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* kDefaultChipModel = "PikoraAccessory";
    static constexpr qint64 kMaxDescriptionFileSize = 64 * 1024; // KPUSBDeviceDescription::kMaxFileSize

    // The process-wide instance, created on first use and never destroyed.
    static KPUSBController& sharedKPUSBController();
    // ":/<chipModel>.json"; the default chip model when `chipModel` is empty.
    static QString descriptionPathForChipModel(const QString& chipModel);

    // Loads the description named by the bundle's "CHIP_MODEL".
    KPUSBController();
    // Loads the description at `descriptionPath` and posts on `center` (the default centre
    // when null).
    explicit KPUSBController(const QString& descriptionPath, NotificationCenter* center = nullptr,
                             QObject* parent = nullptr);
    ~KPUSBController() override;
    KPUSBController(const KPUSBController&) = delete;
    KPUSBController& operator=(const KPUSBController&) = delete;

    // The bus to watch (not owned; it must outlive this object). Without one, setup() creates
    // the process's bus: the simulated one when PIKORA_USB_SIM_DIR names a directory, libusb
    // otherwise.
    void setUsbBus(UsbBus* bus);
    UsbBus* usbBus() const;

    // Starts watching. Devices already attached are reported now, one notification each,
    // before setup() returns; later arrivals and removals are posted on the bus's thread.
    // Returns 0, or -1 with a diagnostic line when the bus cannot watch (the controller then
    // stays inert). A second call does nothing and returns 0.
    int setup();
    int setup(UsbBus* bus);
    bool isSetUp() const { return m_setUp; }

    QVariantMap deviceDict() const { return m_deviceDict; }
    std::uint32_t plistRawVID() const { return m_rawVid; }
    std::uint32_t plistRawPID() const { return m_rawPid; }
    std::uint32_t plistSubDisplayVID() const { return m_subDisplayVid; }
    std::uint32_t plistSubDisplayPID() const { return m_subDisplayPid; }
    float plistCompressionRate() const { return m_compressionRate; }
    QString plistUSBSCSIStorageClass() const { return QString::fromStdString(m_scsiStorageClass); }
    QString plistFramebufferClass() const { return QString::fromStdString(m_framebufferClass); }
    // Valid as long as this object lives.
    const char* plistUSBSCSIStorageClassInCString() const { return m_scsiStorageClass.c_str(); }
    const char* plistFramebufferClassInCString() const { return m_framebufferClass.c_str(); }

private:
    void load(const QString& path);
    bool watch(std::uint32_t vendorId, std::uint32_t productId, const char* what);
    void postFor(const char* notification, const UsbDeviceInfo& device);
    void deviceArrived(const UsbDeviceInfo& device);
    void deviceRemoved(const UsbDeviceInfo& device);

    NotificationCenter* m_center;
    UsbBus* m_bus = nullptr;
    std::unique_ptr<UsbBus> m_ownBus;
    bool m_setUp = false;

    QVariantMap m_deviceDict;
    std::uint32_t m_rawVid = 0;
    std::uint32_t m_rawPid = 0;
    std::uint32_t m_subDisplayVid = 0;
    std::uint32_t m_subDisplayPid = 0;
    float m_compressionRate = 0;
    std::string m_scsiStorageClass;
    std::string m_framebufferClass;
};
