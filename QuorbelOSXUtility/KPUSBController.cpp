#include "QuorbelOSXUtility/KPUSBController.h"

#include "QuorbelOSXUtility/KPUSBDeviceDescription.h"
#include "QuorbelOSXUtility/UsbBus.h"
#include "QuorbelOSXUtility/UtilityLogging.h"
#include "Support/BundleInfo.h"
#include "Support/NotificationCenter.h"

#include <QFile>
#include <QFileInfo>

const char* const kKPRawDeviceDidAddNotification = "kKPRawDeviceDidAddNotification";
const char* const kKPRawDeviceDidRemoveNotification = "kRawKPDeviceDidRemoveNotification";
const char* const kKPBulkDeviceDidAddNotification = "kKPBulkDeviceDidAddNotification";
const char* const kKPBulkDeviceDidRemoveNotification = "kKPBulkDeviceDidRemoveNotification";
const char* const kKPUSBDeviceIdKey = "deviceId";
const char* const kKPUSBVendorIdKey = "vendorId";
const char* const kKPUSBProductIdKey = "productId";
const char* const kKPUSBServiceNameKey = "serviceName";

namespace {

const char* const kDefaultScsiStorageClass = "usbscsistor";
const char* const kDefaultFramebufferClass = "myframebuffer_driver";

bool isUsbId(std::uint32_t id)
{
    return id != 0 && id <= 0xFFFF;
}

bool matches(const UsbDeviceInfo& device, std::uint32_t vendorId, std::uint32_t productId)
{
    return isUsbId(vendorId) && isUsbId(productId) && device.vendorId == vendorId &&
           device.productId == productId;
}

} // namespace

std::uint32_t getHexIntValue(const QString& text, bool* ok)
{
    if (ok)
        *ok = false;
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    if (i + 1 < text.size() && text[i] == QLatin1Char('0') &&
        (text[i + 1] == QLatin1Char('x') || text[i + 1] == QLatin1Char('X')))
        i += 2;
    std::uint64_t value = 0;
    qsizetype digits = 0;
    for (; i < text.size(); ++i, ++digits) {
        const char16_t c = text[i].unicode();
        int digit = -1;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        if (digit < 0)
            break;
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFull)
            return 0;
    }
    if (digits == 0)
        return 0;
    if (ok)
        *ok = i == text.size();
    return static_cast<std::uint32_t>(value);
}

KPUSBController& KPUSBController::sharedKPUSBController()
{
    static KPUSBController* const instance = new KPUSBController();
    return *instance;
}

QString KPUSBController::descriptionPathForChipModel(const QString& chipModel)
{
    return QStringLiteral(":/%1.json")
        .arg(chipModel.isEmpty() ? QLatin1String(kDefaultChipModel) : chipModel);
}

KPUSBController::KPUSBController()
    : KPUSBController(
          descriptionPathForChipModel(BundleInfo::main().stringValue(QStringLiteral("CHIP_MODEL"))))
{
}

KPUSBController::KPUSBController(const QString& descriptionPath, NotificationCenter* center, QObject* parent)
    : QObject(parent), m_center(center ? center : &NotificationCenter::defaultCenter()),
      m_scsiStorageClass(kDefaultScsiStorageClass), m_framebufferClass(kDefaultFramebufferClass)
{
    load(descriptionPath);
}

KPUSBController::~KPUSBController() = default;

void KPUSBController::load(const QString& path)
{
    QFile file(path);
    if (!file.exists()) {
        qCWarning(lcUsb).noquote() << QStringLiteral("device description file %1 not found").arg(path);
        return;
    }
    // Only a regular file is read (a FIFO under the name would block the start-up).
    if (!path.startsWith(QLatin1Char(':')) && !QFileInfo(path).isFile()) {
        qCWarning(lcUsb).noquote()
            << QStringLiteral("device description file %1 is not a regular file").arg(path);
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcUsb).noquote()
            << QStringLiteral("cannot read device description file %1: %2").arg(path, file.errorString());
        return;
    }
    const QByteArray bytes = file.read(kMaxDescriptionFileSize + 1);
    const KPUSBDeviceDescription d = KPUSBDeviceDescription::parse(bytes, path);
    m_deviceDict = d.dict;
    m_rawVid = d.rawVid;
    m_rawPid = d.rawPid;
    m_subDisplayVid = d.subDisplayVid;
    m_subDisplayPid = d.subDisplayPid;
    m_compressionRate = d.compressionRate;
    m_scsiStorageClass = d.scsiStorageClass;
    m_framebufferClass = d.framebufferClass;
}

void KPUSBController::setUsbBus(UsbBus* bus)
{
    if (m_setUp && bus != m_bus) {
        qCWarning(lcUsb) << "the USB watcher is already set up; keeping its bus";
        return;
    }
    m_bus = bus;
}

UsbBus* KPUSBController::usbBus() const
{
    return m_bus;
}

int KPUSBController::setup(UsbBus* bus)
{
    setUsbBus(bus);
    return setup();
}

bool KPUSBController::watch(std::uint32_t vendorId, std::uint32_t productId, const char* what)
{
    if (!isUsbId(vendorId) || !isUsbId(productId))
        return true; // matches no device (an unreadable value was reported when it was loaded)
    QString error;
    if (!m_bus->startWatching(static_cast<std::uint16_t>(vendorId), static_cast<std::uint16_t>(productId),
                              &error)) {
        qCWarning(lcUsb).noquote() << QStringLiteral("cannot watch the USB bus for the %1 device %2:%3: %4")
                                          .arg(QLatin1String(what))
                                          .arg(vendorId, 4, 16, QLatin1Char('0'))
                                          .arg(productId, 4, 16, QLatin1Char('0'))
                                          .arg(error);
        return false;
    }
    return true;
}

int KPUSBController::setup()
{
    if (m_setUp)
        return 0;
    if (!m_bus) {
        m_ownBus = UsbBus::create(qEnvironmentVariable("PIKORA_USB_SIM_DIR"));
        m_bus = m_ownBus.get();
    }
    connect(m_bus, &UsbBus::deviceArrived, this, &KPUSBController::deviceArrived, Qt::UniqueConnection);
    connect(m_bus, &UsbBus::deviceRemoved, this, &KPUSBController::deviceRemoved, Qt::UniqueConnection);

    if (!watch(m_rawVid, m_rawPid, "raw-mode")) {
        disconnect(m_bus, nullptr, this, nullptr);
        return -1;
    }
    m_setUp = true;
    if (isUsbId(m_rawVid) && isUsbId(m_rawPid)) {
        for (const UsbDeviceInfo& device : m_bus->devicesPresent(m_rawVid, m_rawPid))
            postFor(kKPRawDeviceDidAddNotification, device);
    }
    if (!watch(m_subDisplayVid, m_subDisplayPid, "secondary"))
        return -1;
    if (isUsbId(m_subDisplayVid) && isUsbId(m_subDisplayPid)) {
        for (const UsbDeviceInfo& device : m_bus->devicesPresent(m_subDisplayVid, m_subDisplayPid))
            postFor(kKPBulkDeviceDidAddNotification, device);
    }
    return 0;
}

void KPUSBController::postFor(const char* notification, const UsbDeviceInfo& device)
{
    QVariantMap userInfo;
    userInfo.insert(QLatin1String(kKPUSBDeviceIdKey), device.id);
    userInfo.insert(QLatin1String(kKPUSBVendorIdKey), static_cast<uint>(device.vendorId));
    userInfo.insert(QLatin1String(kKPUSBProductIdKey), static_cast<uint>(device.productId));
    userInfo.insert(QLatin1String(kKPUSBServiceNameKey), device.serviceName);
    m_center->post(notification, nullptr, userInfo);
}

void KPUSBController::deviceArrived(const UsbDeviceInfo& device)
{
    if (matches(device, m_rawVid, m_rawPid))
        postFor(kKPRawDeviceDidAddNotification, device);
    if (matches(device, m_subDisplayVid, m_subDisplayPid))
        postFor(kKPBulkDeviceDidAddNotification, device);
}

void KPUSBController::deviceRemoved(const UsbDeviceInfo& device)
{
    if (matches(device, m_rawVid, m_rawPid))
        postFor(kKPRawDeviceDidRemoveNotification, device);
    if (matches(device, m_subDisplayVid, m_subDisplayPid))
        postFor(kKPBulkDeviceDidRemoveNotification, device);
}
