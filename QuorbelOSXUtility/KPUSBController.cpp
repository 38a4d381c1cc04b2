#include "QuorbelOSXUtility/KPUSBController.h"

#include "QuorbelOSXUtility/UsbBus.h"
#include "QuorbelOSXUtility/UtilityLogging.h"
#include "Support/BundleInfo.h"
#include "Support/NotificationCenter.h"

#include <QFile>
#include <QFileInfo>
#include <nlohmann/json.hpp>

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

QVariant toVariant(const nlohmann::json& value)
{
    if (value.is_string())
        return QString::fromStdString(value.get<std::string>());
    if (value.is_boolean())
        return value.get<bool>();
    if (value.is_number_unsigned())
        return QVariant::fromValue<qulonglong>(value.get<std::uint64_t>());
    if (value.is_number_integer())
        return QVariant::fromValue<qlonglong>(value.get<std::int64_t>());
    if (value.is_number_float())
        return value.get<double>();
    return QString::fromStdString(value.dump());
}

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
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcUsb).noquote()
            << QStringLiteral("cannot read device description file %1: %2").arg(path, file.errorString());
        return;
    }
    const QByteArray bytes = file.read(kMaxDescriptionFileSize + 1);
    if (bytes.size() > kMaxDescriptionFileSize) {
        qCWarning(lcUsb).noquote() << QStringLiteral("device description file %1 is larger than %2 bytes")
                                          .arg(path)
                                          .arg(kMaxDescriptionFileSize);
        return;
    }
    if (bytes.trimmed().isEmpty()) {
        qCWarning(lcUsb).noquote() << QStringLiteral("device description file %1 is empty").arg(path);
        return;
    }
    const nlohmann::json root = nlohmann::json::parse(bytes.cbegin(), bytes.cend(), nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        qCWarning(lcUsb).noquote()
            << QStringLiteral("device description file %1 is not a JSON object").arg(path);
        return;
    }
    for (auto it = root.begin(); it != root.end(); ++it)
        m_deviceDict.insert(QString::fromStdString(it.key()), toVariant(it.value()));

    auto hexValue = [&](const char* key) -> std::uint32_t {
        const auto it = root.find(key);
        if (it == root.end())
            return 0;
        bool ok = false;
        std::uint32_t value = 0;
        if (it->is_string()) {
            value = getHexIntValue(QString::fromStdString(it->get<std::string>()), &ok);
        } else if (it->is_number_unsigned() && it->get<std::uint64_t>() <= 0xFFFFFFFFull) {
            value = static_cast<std::uint32_t>(it->get<std::uint64_t>());
            ok = true;
        }
        if (!ok)
            qCWarning(lcUsb).noquote()
                << QStringLiteral("device description value \"%1\" = %2 is not hexadecimal; using 0x%3")
                       .arg(QLatin1String(key), QString::fromStdString(it->dump()))
                       .arg(value, 0, 16);
        return value;
    };
    m_rawVid = hexValue("MASS_STORAGE_VID");
    m_rawPid = hexValue("MASS_STORAGE_PID");
    m_subDisplayVid = hexValue("SUB_DISPLAY_VID");
    m_subDisplayPid = hexValue("SUB_DISPLAY_PID");

    if (const auto rate = root.find("COMPRESSION_RATE"); rate != root.end()) {
        bool ok = rate->is_number();
        if (ok) {
            m_compressionRate = rate->get<float>();
        } else if (rate->is_string()) {
            m_compressionRate = QString::fromStdString(rate->get<std::string>()).trimmed().toFloat(&ok);
        }
        if (!ok) {
            m_compressionRate = 0;
            qCWarning(lcUsb).noquote()
                << QStringLiteral(
                       "device description value \"COMPRESSION_RATE\" = %1 is not a number; using 0")
                       .arg(QString::fromStdString(rate->dump()));
        }
    }

    auto textValue = [&](const char* key, std::string& out) {
        const auto it = root.find(key);
        if (it == root.end())
            return;
        if (!it->is_string()) {
            qCWarning(lcUsb).noquote()
                << QStringLiteral("device description value \"%1\" = %2 is not text; using \"%3\"")
                       .arg(QLatin1String(key), QString::fromStdString(it->dump()),
                            QString::fromStdString(out));
            return;
        }
        if (!it->get<std::string>().empty())
            out = it->get<std::string>();
    };
    textValue("USBSCSISTOR_CLASS", m_scsiStorageClass);
    textValue("FRAMEBUFFER_CLASS", m_framebufferClass);
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
