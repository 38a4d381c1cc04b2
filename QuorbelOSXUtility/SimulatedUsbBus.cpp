#include "QuorbelOSXUtility/SimulatedUsbBus.h"

#include "QuorbelOSXUtility/UtilityLogging.h"

#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

UsbDeviceInfo infoOf(const QString& name, const SimulatedUsbDescription& description)
{
    UsbDeviceInfo info;
    info.id = name;
    info.vendorId = description.vendorId;
    info.productId = description.productId;
    info.serviceName = description.product;
    info.manufacturer = description.manufacturer;
    return info;
}

} // namespace

SimulatedUsbBus::SimulatedUsbBus(const QString& directory, QObject* parent)
    : UsbBus(parent), m_directory(directory)
{
    qRegisterMetaType<UsbDeviceInfo>();
}

SimulatedUsbBus::~SimulatedUsbBus() = default;

bool SimulatedUsbBus::isWatched(std::uint16_t vendorId, std::uint16_t productId) const
{
    return m_watched.count({vendorId, productId}) != 0;
}

bool SimulatedUsbBus::startWatching(std::uint16_t vendorId, std::uint16_t productId, QString* error)
{
    if (m_directory.isEmpty() || !QDir().mkpath(m_directory)) {
        const QString message =
            QStringLiteral("cannot use the simulated USB bus directory \"%1\"").arg(m_directory);
        qCWarning(lcUsb).noquote() << message;
        if (error)
            *error = message;
        return false;
    }
    if (!m_watcher) {
        m_watcher = new QFileSystemWatcher(this);
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &SimulatedUsbBus::rescan);
        if (!m_watcher->addPath(m_directory))
            qCInfo(lcUsb) << "cannot watch" << m_directory << "for changes; relying on the periodic rescan";
        m_timer = new QTimer(this);
        m_timer->setInterval(kRescanIntervalMs);
        connect(m_timer, &QTimer::timeout, this, &SimulatedUsbBus::rescan);
        m_timer->start();
    }
    const Ids ids{vendorId, productId};
    if (m_watched[ids]++ == 0)
        scan(ids);
    return true;
}

void SimulatedUsbBus::stopWatching(std::uint16_t vendorId, std::uint16_t productId)
{
    const auto it = m_watched.find({vendorId, productId});
    if (it == m_watched.end() || --it->second > 0)
        return;
    m_watched.erase(it);
    for (auto k = m_known.begin(); k != m_known.end();) {
        if (!isWatched(k->second.info.vendorId, k->second.info.productId))
            k = m_known.erase(k);
        else
            ++k;
    }
    if (m_watched.empty()) {
        delete m_watcher;
        m_watcher = nullptr;
        delete m_timer;
        m_timer = nullptr;
    }
}

std::vector<UsbDeviceInfo> SimulatedUsbBus::devicesPresent(std::uint16_t vendorId, std::uint16_t productId)
{
    std::vector<UsbDeviceInfo> result;
    if (isWatched(vendorId, productId)) {
        for (const auto& [name, known] : m_known) {
            if (known.info.vendorId == vendorId && known.info.productId == productId)
                result.push_back(known.info);
        }
        return result;
    }
    for (const auto& [name, read] : readAll()) {
        if (read.description && read.description->vendorId == vendorId &&
            read.description->productId == productId)
            result.push_back(infoOf(name, *read.description));
    }
    return result;
}

std::unique_ptr<UsbDeviceHandle> SimulatedUsbBus::open(const QString& deviceId, UsbResult* result)
{
    auto set = [result](UsbResult r) {
        if (result)
            *result = r;
    };
    if (deviceId.isEmpty() || deviceId.contains(QLatin1Char('/')) ||
        SimulatedUsbFormat::deviceNameOf(SimulatedUsbFormat::descriptionFileName(deviceId)) != deviceId) {
        set(UsbResult::InvalidArgument);
        return nullptr;
    }
    if (!QFile::exists(QDir(m_directory).filePath(SimulatedUsbFormat::descriptionFileName(deviceId)))) {
        set(UsbResult::NoDevice);
        return nullptr;
    }
    const Read read = readDevice(deviceId);
    if (!read.description) {
        set(UsbResult::Io);
        return nullptr;
    }
    set(UsbResult::Ok);
    return std::make_unique<SimulatedUsbDeviceHandle>(m_directory, deviceId, *read.description,
                                                      read.identity);
}

void SimulatedUsbBus::rescan()
{
    scan(std::nullopt);
}

SimulatedUsbBus::Read SimulatedUsbBus::readDevice(const QString& name)
{
    Read read;
    const QString path = QDir(m_directory).filePath(SimulatedUsbFormat::descriptionFileName(name));
    QString problem;
    QString version;
    // Non-blocking, so that a FIFO with a description file's name cannot stall the bus, and
    // never through a symbolic link, so that a name in the bus directory cannot make us read
    // (or, for endpoints, write) a file elsewhere.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat st = {};
    if (fd < 0) {
        if (errno == ENOENT) {
            read.missing = true; // removed between listing and reading
            return read;
        }
        problem = QString::fromLocal8Bit(strerror(errno));
        version = problem;
    } else if (::fstat(fd, &st) != 0) {
        problem = QString::fromLocal8Bit(strerror(errno));
        version = problem;
    } else {
        read.identity = SimulatedUsbDeviceHandle::identityOf(st);
        version = QStringLiteral("%1:%2:%3:%4.%5")
                      .arg(st.st_dev)
                      .arg(st.st_ino)
                      .arg(st.st_size)
                      .arg(st.st_mtim.tv_sec)
                      .arg(st.st_mtim.tv_nsec);
        if (!S_ISREG(st.st_mode)) {
            problem = QStringLiteral("not a regular file");
        } else if (st.st_size > SimulatedUsbFormat::kMaxDescriptionFileSize) {
            problem = QStringLiteral("larger than %1 bytes").arg(SimulatedUsbFormat::kMaxDescriptionFileSize);
        } else {
            QByteArray bytes;
            char buffer[4096];
            while (bytes.size() <= SimulatedUsbFormat::kMaxDescriptionFileSize) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                bytes.append(buffer, n);
            }
            SimulatedUsbDescription description;
            if (SimulatedUsbFormat::parse(bytes, description, &problem))
                read.description = std::move(description);
        }
    }
    if (fd >= 0)
        ::close(fd);

    std::lock_guard lock(m_rejectedMutex);
    if (read.description) {
        m_rejected.erase(name);
    } else if (m_rejected[name] != version) {
        m_rejected[name] = version;
        qCWarning(lcUsb).noquote()
            << QStringLiteral("skipping simulated USB device file %1: %2").arg(path, problem);
    }
    return read;
}

std::map<QString, SimulatedUsbBus::Read> SimulatedUsbBus::readAll()
{
    std::map<QString, Read> result;
    const QStringList files = QDir(m_directory)
                                  .entryList({QStringLiteral("*.json")},
                                             QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& file : files) {
        const QString name = SimulatedUsbFormat::deviceNameOf(file);
        if (name.isEmpty())
            continue;
        Read read = readDevice(name);
        if (!read.missing)
            result.emplace(name, std::move(read));
    }
    return result;
}

void SimulatedUsbBus::scan(std::optional<Ids> absorb)
{
    // A handler of deviceArrived/deviceRemoved that comes back here gets the next periodic
    // scan instead; the state is always consistent before signals are emitted.
    if (m_scanning || m_watched.empty())
        return;
    m_scanning = true;
    const std::map<QString, Read> present = readAll();

    std::vector<UsbDeviceInfo> removed;
    for (auto k = m_known.begin(); k != m_known.end();) {
        const auto now = present.find(k->first);
        bool gone = now == present.end();
        // An unreadable file (for example one still being written by a careless writer)
        // changes nothing until it can be read; a replaced file is a new attachment.
        if (!gone && now->second.description)
            gone = now->second.identity != k->second.identity ||
                   now->second.description->vendorId != k->second.info.vendorId ||
                   now->second.description->productId != k->second.info.productId ||
                   now->second.description->product != k->second.info.serviceName;
        if (gone) {
            removed.push_back(k->second.info);
            k = m_known.erase(k);
        } else {
            ++k;
        }
    }

    std::vector<UsbDeviceInfo> arrived;
    for (const auto& [name, read] : present) {
        if (!read.description || m_known.count(name) ||
            !isWatched(read.description->vendorId, read.description->productId))
            continue;
        const UsbDeviceInfo info = infoOf(name, *read.description);
        m_known.emplace(name, Known{info, read.identity});
        if (!absorb || *absorb != Ids{info.vendorId, info.productId})
            arrived.push_back(info);
    }
    m_scanning = false;

    for (const UsbDeviceInfo& info : removed) {
        qCInfo(lcUsb).noquote() << QStringLiteral("simulated USB device %1 (%2:%3) removed")
                                       .arg(info.id)
                                       .arg(info.vendorId, 4, 16, QLatin1Char('0'))
                                       .arg(info.productId, 4, 16, QLatin1Char('0'));
        emit deviceRemoved(info);
    }
    for (const UsbDeviceInfo& info : arrived) {
        qCInfo(lcUsb).noquote() << QStringLiteral("simulated USB device %1 (%2:%3) arrived")
                                       .arg(info.id)
                                       .arg(info.vendorId, 4, 16, QLatin1Char('0'))
                                       .arg(info.productId, 4, 16, QLatin1Char('0'));
        emit deviceArrived(info);
    }
}
