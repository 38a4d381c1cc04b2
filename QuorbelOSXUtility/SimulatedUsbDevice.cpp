#include "QuorbelOSXUtility/SimulatedUsbDevice.h"

#include "QuorbelOSXUtility/UtilityLogging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSaveFile>
#include <QTimer>

namespace {

constexpr qint64 kMaxEndpointRead = 16 * 1024 * 1024;
constexpr int kEndpointPollMs = 100;

bool validName(const QString& name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('.')) && !name.contains(QLatin1Char('/')) &&
           !name.contains(QChar(0));
}

bool fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    qCWarning(lcUsb) << "simulated device:" << message;
    return false;
}

UsbInterface cdcDataInterface(std::uint8_t number)
{
    UsbInterface data;
    data.number = number;
    data.interfaceClass = 10;
    data.endpoints = {
        {SimulatedUsbDevice::kAccessoryBulkInAddress, UsbEndpoint::Type::Bulk, UsbEndpoint::Direction::In},
        {SimulatedUsbDevice::kAccessoryBulkOutAddress, UsbEndpoint::Type::Bulk, UsbEndpoint::Direction::Out},
    };
    return data;
}

} // namespace

SimulatedUsbDescription SimulatedUsbDevice::rawModeAccessory(std::uint16_t vendorId, std::uint16_t productId)
{
    SimulatedUsbDescription d;
    d.vendorId = vendorId;
    d.productId = productId;
    d.product = QStringLiteral("PIKORA Launcher");
    d.interfaces.push_back(cdcDataInterface(0));
    return d;
}

SimulatedUsbDescription SimulatedUsbDevice::networkModeAccessory()
{
    SimulatedUsbDescription d;
    d.vendorId = kNetworkModeVendorId;
    d.productId = kNetworkModeProductId;
    d.product = QLatin1String(kNetworkModeProductName);
    UsbInterface control;
    control.number = 0;
    control.interfaceClass = 2;
    control.endpoints = {{0x83, UsbEndpoint::Type::Interrupt, UsbEndpoint::Direction::In}};
    d.interfaces.push_back(control);
    d.interfaces.push_back(cdcDataInterface(1));
    return d;
}

SimulatedUsbDevice::SimulatedUsbDevice(const QString& directory, const QString& name, QObject* parent)
    : QObject(parent), m_directory(directory), m_name(name)
{
}

SimulatedUsbDevice::~SimulatedUsbDevice()
{
    if (m_pluggedByUs && isPlugged())
        unplug();
}

QString SimulatedUsbDevice::descriptionPath() const
{
    return QDir(m_directory).filePath(SimulatedUsbFormat::descriptionFileName(m_name));
}

QString SimulatedUsbDevice::endpointPath(std::uint8_t address) const
{
    return QDir(m_directory).filePath(SimulatedUsbFormat::endpointFileName(m_name, address));
}

bool SimulatedUsbDevice::plug(const SimulatedUsbDescription& description, QString* error)
{
    if (!validName(m_name))
        return fail(error, QStringLiteral("invalid device name \"%1\"").arg(m_name));
    if (!QDir().mkpath(m_directory))
        return fail(error, QStringLiteral("cannot create the bus directory %1").arg(m_directory));

    for (const UsbInterface& interface : description.interfaces) {
        for (const UsbEndpoint& endpoint : interface.endpoints) {
            if (endpoint.direction == UsbEndpoint::Direction::Out &&
                QFile::exists(endpointPath(endpoint.address)) &&
                !QFile::remove(endpointPath(endpoint.address)))
                return fail(error, QStringLiteral("cannot empty %1").arg(endpointPath(endpoint.address)));
            if (const auto watched = m_watchedOffsets.find(endpoint.address);
                watched != m_watchedOffsets.end())
                watched->second = 0;
        }
    }

    // Written to a temporary file and renamed over any earlier description: the bus sees a
    // new file (a new inode, since both exist at once) and so a new attachment.
    QSaveFile file(descriptionPath());
    if (!file.open(QIODevice::WriteOnly))
        return fail(error, QStringLiteral("cannot write %1: %2").arg(descriptionPath(), file.errorString()));
    const QByteArray json = SimulatedUsbFormat::toJson(description);
    if (file.write(json) != json.size() || !file.commit())
        return fail(error, QStringLiteral("cannot write %1: %2").arg(descriptionPath(), file.errorString()));
    m_description = description;
    m_pluggedByUs = true;
    return true;
}

bool SimulatedUsbDevice::unplug(QString* error)
{
    m_pluggedByUs = false;
    if (!isPlugged())
        return true;
    if (!QFile::remove(descriptionPath()))
        return fail(error, QStringLiteral("cannot remove %1").arg(descriptionPath()));
    return true;
}

bool SimulatedUsbDevice::isPlugged() const
{
    return QFileInfo::exists(descriptionPath());
}

QByteArray SimulatedUsbDevice::endpointData(std::uint8_t address) const
{
    QFile file(endpointPath(address));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(kMaxEndpointRead);
}

bool SimulatedUsbDevice::clearEndpointData(std::uint8_t address)
{
    if (m_watchedOffsets.count(address))
        m_watchedOffsets[address] = 0;
    QFile file(endpointPath(address));
    return !file.exists() || file.resize(0);
}

void SimulatedUsbDevice::watchEndpoint(std::uint8_t address)
{
    m_watchedOffsets.emplace(address, 0);
    if (!m_watcher) {
        QDir().mkpath(m_directory);
        m_watcher = new QFileSystemWatcher(this);
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &SimulatedUsbDevice::pollEndpoints);
        connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &SimulatedUsbDevice::pollEndpoints);
        m_watcher->addPath(m_directory);
        m_pollTimer = new QTimer(this);
        m_pollTimer->setInterval(kEndpointPollMs);
        connect(m_pollTimer, &QTimer::timeout, this, &SimulatedUsbDevice::pollEndpoints);
        m_pollTimer->start();
    }
    // Report what is already there once the caller has had a chance to connect.
    QTimer::singleShot(0, this, &SimulatedUsbDevice::pollEndpoints);
}

void SimulatedUsbDevice::unwatchEndpoint(std::uint8_t address)
{
    m_watchedOffsets.erase(address);
    if (m_watcher)
        m_watcher->removePath(endpointPath(address));
}

void SimulatedUsbDevice::pollEndpoints()
{
    // Copy: a slot connected to endpointWritten may watch or unwatch endpoints.
    const auto watched = m_watchedOffsets;
    for (const auto& [address, knownOffset] : watched) {
        const QString path = endpointPath(address);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        if (m_watcher && !m_watcher->files().contains(path))
            m_watcher->addPath(path);
        qint64 offset = knownOffset;
        if (file.size() < offset)
            offset = 0;
        if (file.size() == offset) {
            m_watchedOffsets[address] = offset;
            continue;
        }
        file.seek(offset);
        const QByteArray bytes = file.read(kMaxEndpointRead);
        if (!m_watchedOffsets.count(address))
            continue;
        m_watchedOffsets[address] = offset + bytes.size();
        if (!bytes.isEmpty())
            emit endpointWritten(address, bytes);
    }
}
