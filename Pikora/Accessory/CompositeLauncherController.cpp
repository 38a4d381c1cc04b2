#include "Pikora/Accessory/CompositeLauncherController.h"

#include "QuorbelOSXUtility/KPUSBController.h"
#include "Support/DispatchSemaphore.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcModeSwitch, "pikora.accessory.modeswitch")

QString hex8(UsbResult status)
{
    return QStringLiteral("%1").arg(static_cast<uint>(status), 8, 16, QLatin1Char('0'));
}

bool usbId(std::uint32_t id)
{
    return id != 0 && id <= 0xFFFF;
}

} // namespace

CompositeLauncherController& CompositeLauncherController::shared()
{
    static CompositeLauncherController* const instance =
        new CompositeLauncherController(KPUSBController::sharedKPUSBController());
    return *instance;
}

CompositeLauncherController::CompositeLauncherController(KPUSBController& watcher, NotificationCenter* center)
    : m_watcher(watcher), m_center(center ? *center : NotificationCenter::defaultCenter()),
      m_switchQueue(std::make_unique<DispatchQueue>("CompositeLauncherController.switch"))
{
}

CompositeLauncherController::~CompositeLauncherController()
{
    m_switchQueue.reset();
}

bool CompositeLauncherController::waitUntilIdle(std::chrono::milliseconds timeout)
{
    auto done = std::make_shared<DispatchSemaphore>(0);
    m_switchQueue->async([done] { done->signal(); });
    return done->waitFor(timeout);
}

void CompositeLauncherController::setup(UsbBus* bus)
{
    m_watcher.setUsbBus(bus);
    setup();
}

void CompositeLauncherController::setup()
{
    if (m_setUp)
        return;
    m_setUp = true;
    m_addObserver = NotificationObserver(
        m_center, m_center.addObserver(kKPRawDeviceDidAddNotification, nullptr,
                                       [this](const Notification& n) { compositeDidAddWithNotificaion(n); }));
    m_removeObserver = NotificationObserver(
        m_center,
        m_center.addObserver(kKPRawDeviceDidRemoveNotification, nullptr,
                             [this](const Notification& n) { compositeDidRemoveWithNotificaion(n); }));
    m_watcher.setup();
}

void CompositeLauncherController::compositeDidAddWithNotificaion(const Notification& notification)
{
    const QString id = notification.userInfo.value(QLatin1String(kKPUSBDeviceIdKey)).toString();
    if (id.isEmpty()) {
        switchToRNDIS_ECM_Mode();
        return;
    }
    UsbDeviceInfo device;
    device.id = id;
    device.vendorId =
        static_cast<std::uint16_t>(notification.userInfo.value(QLatin1String(kKPUSBVendorIdKey)).toUInt());
    device.productId =
        static_cast<std::uint16_t>(notification.userInfo.value(QLatin1String(kKPUSBProductIdKey)).toUInt());
    device.serviceName = notification.userInfo.value(QLatin1String(kKPUSBServiceNameKey)).toString();
    switchToRNDIS_ECM_Mode(device);
}

void CompositeLauncherController::compositeDidRemoveWithNotificaion(const Notification&)
{
    // The accessory leaves the bus in raw mode when it switches; nothing to undo.
}

bool CompositeLauncherController::switchToRNDIS_ECM_Mode(const std::optional<UsbDeviceInfo>& device)
{
    // The device is looked up here, on the bus's thread; only the attempt itself is queued.
    const std::optional<UsbDeviceInfo> target =
        device ? device : getUSBDeviceWithVid(m_watcher.plistRawVID(), m_watcher.plistRawPID());
    if (!target) {
        reportSwitchResult(findDeviceAndSwitchMode(target, InterfaceRequest{kCdcDataInterfaceClass})); // logs
        return false;
    }
    {
        std::lock_guard lock(m_pendingMutex);
        if (m_pending.count(target->id)) {
            qCInfo(lcModeSwitch).noquote() << "a switch of" << target->id << "is already queued";
            return false;
        }
        if (m_pending.size() >= std::size_t(kMaxPendingSwitches)) {
            qCWarning(lcModeSwitch).noquote()
                << "too many USB mode switches queued; not switching" << target->id;
            return false;
        }
        m_pending.insert(target->id);
    }
    m_switchQueue->async([this, target] {
        {
            std::lock_guard lock(m_pendingMutex);
            m_pending.erase(target->id);
        }
        reportSwitchResult(findDeviceAndSwitchMode(target, InterfaceRequest{kCdcDataInterfaceClass}));
    });
    return true;
}

std::optional<UsbDeviceInfo> CompositeLauncherController::getUSBDeviceWithVid(std::uint32_t vendorId,
                                                                              std::uint32_t productId) const
{
    UsbBus* bus = m_watcher.usbBus();
    if (!bus) {
        qCInfo(lcModeSwitch).noquote()
            << QStringLiteral("failed to get matching service. matching dict: {idVendor = %1; "
                              "idProduct = %2; IOProviderClass = IOUSBDevice}")
                   .arg(vendorId)
                   .arg(productId);
        return std::nullopt;
    }
    if (!usbId(vendorId) || !usbId(productId))
        return std::nullopt;
    const std::vector<UsbDeviceInfo> present =
        bus->devicesPresent(static_cast<std::uint16_t>(vendorId), static_cast<std::uint16_t>(productId));
    if (present.empty())
        return std::nullopt;
    return present.front();
}

void CompositeLauncherController::reportSwitchResult(UsbResult result) const
{
    if (m_switchResultHandler)
        m_switchResultHandler(result);
}

UsbResult CompositeLauncherController::findDeviceAndSwitchMode(const std::optional<UsbDeviceInfo>& device,
                                                               InterfaceRequest request)
{
    UsbBus* bus = m_watcher.usbBus();
    UsbResult status = UsbResult::NoDevice;
    std::unique_ptr<UsbDeviceHandle> handle;
    if (device && bus)
        handle = bus->open(device->id, &status);
    if (!handle) {
        if (status == UsbResult::NoDevice || status == UsbResult::NotFound ||
            status == UsbResult::InvalidArgument || status == UsbResult::Ok) {
            if (status == UsbResult::Ok)
                status = UsbResult::Io; // an open that gives no device is not a success
            qCInfo(lcModeSwitch).noquote()
                << QStringLiteral("IOCreatePlugInInterfaceForService returned 0x%1.").arg(hex8(status));
        } else {
            qCInfo(lcModeSwitch).noquote()
                << QStringLiteral("Unable to open usb device interface :  0x%1").arg(hex8(status));
        }
        return status;
    }

    std::vector<UsbInterface> interfaces;
    status = handle->interfaces(interfaces);
    if (status != UsbResult::Ok) {
        qCInfo(lcModeSwitch).noquote()
            << QStringLiteral(":unable to create interface iterator. 0x%1").arg(hex8(status));
        return status;
    }
    for (const UsbInterface& interface : interfaces) {
        if (interface.interfaceClass != request.interfaceClass)
            continue;
        qCInfo(lcModeSwitch).noquote() << QStringLiteral("interface:%1, name: %2")
                                              .arg(interface.number)
                                              .arg(objcGetIOServiceName(*device));
        examInterfaceAndSwitchWithInterface(*handle, interface);
    }
    return UsbResult::Ok; // the handle closes here
}

UsbResult CompositeLauncherController::examInterfaceAndSwitchWithInterface(UsbDeviceHandle& handle,
                                                                           const UsbInterface& interface)
{
    const UsbResult claimed = handle.claimInterface(interface.number);
    if (claimed != UsbResult::Ok) {
        // Writing to an interface that another driver holds could disturb it; leave it.
        qCInfo(lcModeSwitch).noquote() << QStringLiteral("unable to claim interface %1: %2")
                                              .arg(interface.number)
                                              .arg(toString(claimed));
        return claimed;
    }
    const auto bulkIn = GetSpecificPipe(&interface, UsbEndpoint::Type::Bulk, UsbEndpoint::Direction::In);
    const auto bulkOut = GetSpecificPipe(&interface, UsbEndpoint::Type::Bulk, UsbEndpoint::Direction::Out);
    if (!bulkIn || !bulkOut) {
        qCInfo(lcModeSwitch).noquote() << QStringLiteral("interface %1 has no bulk %2 pipe; not switching it")
                                              .arg(interface.number)
                                              .arg(bulkIn ? QStringLiteral("OUT") : QStringLiteral("IN"));
        handle.releaseInterface(interface.number);
        return UsbResult::NotFound;
    }

    const QByteArray command(kSwitchCommandSize, kSwitchCommandByte);
    int transferred = 0;
    UsbResult written = handle.bulkWrite(bulkOut->address, command, kSwitchWriteTimeout, &transferred);
    if (written == UsbResult::Ok && transferred != command.size())
        written = UsbResult::Io; // a short write did not deliver the command
    if (written == UsbResult::Ok) {
        qCInfo(lcModeSwitch).noquote()
            << QStringLiteral("switch command written to interface %1, endpoint 0x%2")
                   .arg(interface.number)
                   .arg(bulkOut->address, 2, 16, QLatin1Char('0'));
    } else {
        qCInfo(lcModeSwitch).noquote()
            << QStringLiteral("writing the switch command to endpoint 0x%1 failed: %2 (%3 of %4 bytes)")
                   .arg(bulkOut->address, 2, 16, QLatin1Char('0'))
                   .arg(toString(written))
                   .arg(transferred)
                   .arg(command.size());
    }
    handle.releaseInterface(interface.number);
    return written;
}

QString CompositeLauncherController::objcGetIOServiceName(const UsbDeviceInfo& device)
{
    return device.serviceName;
}

std::optional<UsbEndpoint> CompositeLauncherController::GetSpecificPipe(const UsbInterface* interface,
                                                                        UsbEndpoint::Type type,
                                                                        UsbEndpoint::Direction direction)
{
    if (!interface) {
        qCInfo(lcModeSwitch) << "no usb interface in interface ptr ptr";
        return std::nullopt;
    }
    for (const UsbEndpoint& endpoint : interface->endpoints) {
        if (endpoint.type == type && endpoint.direction == direction)
            return endpoint;
    }
    return std::nullopt;
}
