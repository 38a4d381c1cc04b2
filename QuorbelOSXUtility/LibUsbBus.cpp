#include "QuorbelOSXUtility/LibUsbBus.h"

#include "QuorbelOSXUtility/LibUsbContext.h"
#include "QuorbelOSXUtility/LibUsbDeviceHandle.h"
#include "QuorbelOSXUtility/UtilityLogging.h"
#include "Support/DispatchQueue.h"

#include <QFile>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <libusb.h>
#include <map>
#include <set>
#include <thread>

namespace {

// How often, and how far apart, an arriving device whose product string cannot be read yet
// (udev may still be setting the node's permissions) is asked again before it is reported
// without a name.
constexpr int kNameAttempts = 5;
constexpr int kNameRetryMs = 200;

using Ids = std::pair<std::uint16_t, std::uint16_t>;
using DeviceKey = std::pair<int, int>; // bus number, device address

QString deviceIdOf(DeviceKey key)
{
    return QStringLiteral("usb:%1:%2")
        .arg(key.first, 3, 10, QLatin1Char('0'))
        .arg(key.second, 3, 10, QLatin1Char('0'));
}

bool parseDeviceId(const QString& id, DeviceKey& key)
{
    const QStringList parts = id.split(QLatin1Char(':'));
    if (parts.size() != 3 || parts[0] != QLatin1String("usb"))
        return false;
    bool ok1 = false, ok2 = false;
    key = {parts[1].toInt(&ok1), parts[2].toInt(&ok2)};
    return ok1 && ok2;
}

struct DeviceList
{
    libusb_device** devices = nullptr;
    ssize_t count = 0;
    explicit DeviceList(libusb_context* ctx) { count = ctx ? libusb_get_device_list(ctx, &devices) : 0; }
    ~DeviceList()
    {
        if (devices)
            libusb_free_device_list(devices, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    libusb_device* find(DeviceKey key) const
    {
        for (ssize_t i = 0; i < count; ++i) {
            if (libusb_get_bus_number(devices[i]) == key.first &&
                libusb_get_device_address(devices[i]) == key.second)
                return devices[i];
        }
        return nullptr;
    }
};

// Whether reading a name may talk to the device itself (a control transfer that can take up
// to a second): only on the bus's I/O queue, never on the thread that owns the bus.
enum class NameSource
{
    SysfsOnly,
    SysfsOrDevice
};

// A string attribute of the device ("product", "manufacturer"): from sysfs (readable without
// access to the device node), else, when allowed, from the device's string descriptor `index`.
// Empty when neither can be read.
QString deviceStringOf(libusb_device* device, const char* sysfsAttribute, std::uint8_t index, NameSource source)
{
    std::uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    if (depth > 0) {
        QString sysName = QString::number(libusb_get_bus_number(device)) + QLatin1Char('-');
        for (int i = 0; i < depth; ++i)
            sysName += (i ? QStringLiteral(".") : QString()) + QString::number(ports[i]);
        QFile file(QStringLiteral("/sys/bus/usb/devices/%1/%2").arg(sysName, QLatin1String(sysfsAttribute)));
        if (file.open(QIODevice::ReadOnly)) {
            const QString text = QString::fromUtf8(file.read(512)).trimmed();
            if (!text.isEmpty())
                return text;
        }
    }
    if (index == 0 || source == NameSource::SysfsOnly)
        return {};
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS)
        return {};
    unsigned char text[256] = {};
    const int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text - 1);
    libusb_close(handle);
    return n > 0 ? QString::fromLatin1(reinterpret_cast<const char*>(text), n) : QString();
}

UsbDeviceInfo infoOf(libusb_device* device, const libusb_device_descriptor& descriptor, NameSource source)
{
    UsbDeviceInfo info;
    info.id = deviceIdOf({libusb_get_bus_number(device), libusb_get_device_address(device)});
    info.vendorId = descriptor.idVendor;
    info.productId = descriptor.idProduct;
    info.serviceName = deviceStringOf(device, "product", descriptor.iProduct, source);
    info.manufacturer = deviceStringOf(device, "manufacturer", descriptor.iManufacturer, source);
    return info;
}

int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* userData);

} // namespace

struct LibUsbBus::Impl
{
    LibUsbBus* bus = nullptr;
    std::shared_ptr<LibUsbContext> context;
    QString initError;
    bool hotplug = false;
    std::map<Ids, int> watchCount;
    std::map<Ids, libusb_hotplug_callback_handle> callbacks;
    std::map<DeviceKey, UsbDeviceInfo> known;
    std::thread eventThread;
    std::atomic<bool> stopping{false};
    QTimer* pollTimer = nullptr;
    bool pollRunning = false;
    // Reads that talk to devices (product strings) run here, never on the bus's thread.
    // Declared last of the members the reads use: destroyed (drained) first.
    std::unique_ptr<DispatchQueue> io = std::make_unique<DispatchQueue>("LibUsbBus I/O");

    libusb_context* ctx() const { return context ? context->get() : nullptr; }
    bool watched(std::uint16_t vid, std::uint16_t pid) const { return watchCount.count({vid, pid}) != 0; }

    void startEventThread()
    {
        if (eventThread.joinable())
            return;
        eventThread = std::thread([this] {
            while (!stopping.load()) {
                timeval tv{0, 250000};
                libusb_handle_events_timeout_completed(ctx(), &tv, nullptr);
            }
        });
    }

    void stopEventThread()
    {
        stopping = true;
        for (const auto& [ids, handle] : callbacks)
            libusb_hotplug_deregister_callback(ctx(), handle);
        callbacks.clear();
        if (eventThread.joinable()) {
            libusb_interrupt_event_handler(ctx());
            eventThread.join();
        }
    }

    // Runs on the event thread: passes plain values to the bus's thread, where the device
    // is looked up again. Queued calls are dropped when the bus is destroyed first.
    void onEvent(bool arrived, int busNumber, int address)
    {
        LibUsbBus* target = bus;
        if (arrived)
            QMetaObject::invokeMethod(
                target, [target, busNumber, address] { target->hotplugArrived(busNumber, address, 1); },
                Qt::QueuedConnection);
        else
            QMetaObject::invokeMethod(
                target, [target, busNumber, address] { target->hotplugLeft(busNumber, address); },
                Qt::QueuedConnection);
    }

    // Matching devices on the bus now, keyed by bus number and address; the names of those in
    // `known` are taken from there. Thread-safe (libusb is); `source` says whether it may talk
    // to devices.
    std::map<DeviceKey, UsbDeviceInfo> scan(const std::function<bool(std::uint16_t, std::uint16_t)>& wanted,
                                            const std::map<DeviceKey, UsbDeviceInfo>& knownNow,
                                            NameSource source) const
    {
        std::map<DeviceKey, UsbDeviceInfo> result;
        DeviceList list(ctx());
        for (ssize_t i = 0; i < list.count; ++i) {
            libusb_device_descriptor descriptor = {};
            if (libusb_get_device_descriptor(list.devices[i], &descriptor) != LIBUSB_SUCCESS ||
                !wanted(descriptor.idVendor, descriptor.idProduct))
                continue;
            const DeviceKey key{libusb_get_bus_number(list.devices[i]),
                                libusb_get_device_address(list.devices[i])};
            const auto it = knownNow.find(key);
            result.emplace(key,
                           it != knownNow.end() ? it->second : infoOf(list.devices[i], descriptor, source));
        }
        return result;
    }
};

namespace {

int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* userData)
{
    static_cast<LibUsbBus::Impl*>(userData)->onEvent(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                                                     libusb_get_bus_number(device),
                                                     libusb_get_device_address(device));
    return 0; // stay registered
}

} // namespace

LibUsbBus::LibUsbBus(QObject* parent, EventSource source) : UsbBus(parent), d(std::make_unique<Impl>())
{
    qRegisterMetaType<UsbDeviceInfo>();
    d->bus = this;
    d->context = LibUsbContext::create(&d->initError);
    if (!d->context) {
        qCInfo(lcUsb).noquote() << d->initError;
        return;
    }
    d->hotplug = source == EventSource::Automatic && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
}

LibUsbBus::~LibUsbBus()
{
    d->io.reset(); // finishes the reads under way; their answers to this object are dropped
    if (d->context)
        d->stopEventThread();
}

bool LibUsbBus::isAvailable() const
{
    return d->context != nullptr;
}

QString LibUsbBus::initError() const
{
    return d->initError;
}

bool LibUsbBus::usesHotplug() const
{
    return d->context && d->hotplug;
}

bool LibUsbBus::startWatching(std::uint16_t vendorId, std::uint16_t productId, QString* error)
{
    if (!d->context) {
        qCWarning(lcUsb).noquote() << QStringLiteral("cannot watch USB devices %1:%2: %3")
                                          .arg(vendorId, 4, 16, QLatin1Char('0'))
                                          .arg(productId, 4, 16, QLatin1Char('0'))
                                          .arg(d->initError);
        if (error)
            *error = d->initError;
        return false;
    }
    const Ids ids{vendorId, productId};
    if (d->watchCount[ids]++ > 0)
        return true;

    if (d->hotplug) {
        libusb_hotplug_callback_handle handle = 0;
        const int rc = libusb_hotplug_register_callback(
            d->ctx(),
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            static_cast<libusb_hotplug_flag>(0), vendorId, productId, LIBUSB_HOTPLUG_MATCH_ANY, &onHotplug,
            d.get(), &handle);
        if (rc != LIBUSB_SUCCESS) {
            const QString message = QStringLiteral("cannot register for USB hot-plug events (%1)")
                                        .arg(QLatin1String(libusb_error_name(rc)));
            qCWarning(lcUsb).noquote() << message;
            d->watchCount.erase(ids);
            if (error)
                *error = message;
            return false;
        }
        d->callbacks[ids] = handle;
        d->startEventThread();
    } else if (!d->pollTimer) {
        qCInfo(lcUsb) << "USB hot-plug is not available here; polling the device list";
        d->pollTimer = new QTimer(this);
        d->pollTimer->setInterval(kPollIntervalMs);
        connect(d->pollTimer, &QTimer::timeout, this, &LibUsbBus::poll);
        d->pollTimer->start();
    }

    // Devices already attached are present, not arrivals.
    for (auto& [key, info] :
         d->scan([&](std::uint16_t v, std::uint16_t p) { return v == vendorId && p == productId; }, d->known,
                 NameSource::SysfsOnly))
        d->known.emplace(key, info);
    return true;
}

void LibUsbBus::stopWatching(std::uint16_t vendorId, std::uint16_t productId)
{
    const auto it = d->watchCount.find({vendorId, productId});
    if (it == d->watchCount.end() || --it->second > 0)
        return;
    d->watchCount.erase(it);
    if (const auto cb = d->callbacks.find({vendorId, productId}); cb != d->callbacks.end()) {
        libusb_hotplug_deregister_callback(d->ctx(), cb->second);
        d->callbacks.erase(cb);
    }
    for (auto k = d->known.begin(); k != d->known.end();) {
        if (!d->watched(k->second.vendorId, k->second.productId))
            k = d->known.erase(k);
        else
            ++k;
    }
    if (d->watchCount.empty() && d->pollTimer) {
        delete d->pollTimer;
        d->pollTimer = nullptr;
    }
}

std::vector<UsbDeviceInfo> LibUsbBus::devicesPresent(std::uint16_t vendorId, std::uint16_t productId)
{
    std::vector<UsbDeviceInfo> result;
    if (!d->context)
        return result;
    // On the bus's thread: names come from sysfs only (no transfer to the device here).
    for (auto& [key, info] :
         d->scan([&](std::uint16_t v, std::uint16_t p) { return v == vendorId && p == productId; }, d->known,
                 NameSource::SysfsOnly)) {
        if (d->watched(vendorId, productId))
            d->known.emplace(key, info);
        result.push_back(info);
    }
    return result;
}

std::unique_ptr<UsbDeviceHandle> LibUsbBus::open(const QString& deviceId, UsbResult* result)
{
    auto set = [result](UsbResult r) {
        if (result)
            *result = r;
    };
    DeviceKey key;
    if (!parseDeviceId(deviceId, key)) {
        set(UsbResult::InvalidArgument);
        return nullptr;
    }
    if (!d->context) {
        set(UsbResult::NoDevice);
        return nullptr;
    }
    DeviceList list(d->ctx());
    libusb_device* device = list.find(key);
    if (!device) {
        set(UsbResult::NoDevice);
        return nullptr;
    }
    libusb_device_handle* handle = nullptr;
    const int rc = libusb_open(device, &handle);
    if (rc != LIBUSB_SUCCESS) {
        set(LibUsbDeviceHandle::resultOf(rc));
        return nullptr;
    }
    // A kernel driver bound to an interface (cdc_acm, say) is detached while we hold it.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    set(UsbResult::Ok);
    return std::make_unique<LibUsbDeviceHandle>(d->context, handle);
}

void LibUsbBus::hotplugArrived(int busNumber, int address, int attempt)
{
    const DeviceKey key{busNumber, address};
    if (d->known.count(key))
        return; // already reported as present
    // The device is looked up and its product string read on the I/O queue (reading it may
    // take a control transfer of up to a second); the answer comes back to this thread.
    Impl* impl = d.get();
    QPointer<LibUsbBus> self(this);
    d->io->async([impl, self, busNumber, address, attempt] {
        DeviceList list(impl->ctx());
        libusb_device* device = list.find({busNumber, address});
        libusb_device_descriptor descriptor = {};
        if (!device || libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS)
            return; // gone again before we got to it
        const UsbDeviceInfo info = infoOf(device, descriptor, NameSource::SysfsOrDevice);
        const bool unnamed = info.serviceName.isEmpty() && descriptor.iProduct != 0;
        QMetaObject::invokeMethod(
            self,
            [self, info, unnamed, busNumber, address, attempt] {
                if (self)
                    self->deviceIdentified(info, unnamed, busNumber, address, attempt);
            },
            Qt::QueuedConnection);
    });
}

void LibUsbBus::deviceIdentified(const UsbDeviceInfo& info, bool unnamed, int busNumber, int address,
                                 int attempt)
{
    const DeviceKey key{busNumber, address};
    if (d->known.count(key) || !d->watched(info.vendorId, info.productId))
        return;
    if (unnamed && attempt < kNameAttempts) {
        QTimer::singleShot(kNameRetryMs, this, [this, busNumber, address, attempt] {
            hotplugArrived(busNumber, address, attempt + 1);
        });
        return;
    }
    d->known.emplace(key, info);
    qCInfo(lcUsb).noquote() << QStringLiteral("USB device %1 (%2:%3, \"%4\") arrived")
                                   .arg(info.id)
                                   .arg(info.vendorId, 4, 16, QLatin1Char('0'))
                                   .arg(info.productId, 4, 16, QLatin1Char('0'))
                                   .arg(info.serviceName.left(kMaxLoggedName));
    emit deviceArrived(info);
}

void LibUsbBus::hotplugLeft(int busNumber, int address)
{
    const auto it = d->known.find({busNumber, address});
    if (it == d->known.end())
        return;
    const UsbDeviceInfo info = it->second;
    d->known.erase(it);
    qCInfo(lcUsb).noquote() << QStringLiteral("USB device %1 (%2:%3) removed")
                                   .arg(info.id)
                                   .arg(info.vendorId, 4, 16, QLatin1Char('0'))
                                   .arg(info.productId, 4, 16, QLatin1Char('0'));
    emit deviceRemoved(info);
}

void LibUsbBus::poll()
{
    if (d->pollRunning)
        return; // the last poll is still reading; at most one at a time
    d->pollRunning = true;
    std::set<Ids> wanted;
    for (const auto& [ids, count] : d->watchCount)
        wanted.insert(ids);
    Impl* impl = d.get();
    QPointer<LibUsbBus> self(this);
    d->io->async([impl, self, wanted, knownNow = d->known] {
        auto now = impl->scan(
            [&](std::uint16_t v, std::uint16_t p) {
                return wanted.count({v, p}) != 0;
            },
            knownNow, NameSource::SysfsOrDevice);
        QMetaObject::invokeMethod(
            self,
            [self, now = std::move(now)] {
                if (self)
                    self->pollFinished(now);
            },
            Qt::QueuedConnection);
    });
}

void LibUsbBus::pollFinished(const std::map<std::pair<int, int>, UsbDeviceInfo>& now)
{
    d->pollRunning = false;
    std::vector<DeviceKey> gone;
    for (const auto& [key, info] : d->known) {
        if (!now.count(key))
            gone.push_back(key);
    }
    for (const DeviceKey& key : gone)
        hotplugLeft(key.first, key.second);
    for (const auto& [key, info] : now) {
        if (d->known.count(key) || !d->watched(info.vendorId, info.productId))
            continue;
        d->known.emplace(key, info);
        emit deviceArrived(info);
    }
}
