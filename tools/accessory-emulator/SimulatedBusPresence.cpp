#include "tools/accessory-emulator/SimulatedBusPresence.h"

#include "tools/accessory-emulator/EmulatorLogging.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <nlohmann/json.hpp>

namespace {
constexpr int kPollIntervalMs = 50;
// Far more than any command a host sends; a runaway writer cannot make us buffer without end.
constexpr qint64 kMaxChunk = 64 * 1024;
} // namespace

SimulatedBusPresence::SimulatedBusPresence(QString directory, QObject* parent)
    : QObject(parent), m_directory(std::move(directory))
{
    m_pollTimer.setInterval(kPollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &SimulatedBusPresence::poll);
}

SimulatedBusPresence::~SimulatedBusPresence()
{
    leave();
}

QString SimulatedBusPresence::descriptionPath() const
{
    return QDir(m_directory).filePath(m_identity.name + QStringLiteral(".json"));
}

QString SimulatedBusPresence::endpointPath(std::uint8_t address) const
{
    return QDir(m_directory).filePath(QStringLiteral("%1.ep%2.out").arg(m_identity.name).arg(address));
}

QByteArray SimulatedBusPresence::describe(const Identity& identity)
{
    nlohmann::ordered_json device;
    device["vendorId"] = identity.vendorId;
    device["productId"] = identity.productId;
    device["product"] = identity.product.toStdString();
    if (!identity.interfaces.empty()) {
        auto interfaces = nlohmann::ordered_json::array();
        for (const Interface& iface : identity.interfaces) {
            nlohmann::ordered_json entry;
            entry["class"] = iface.interfaceClass;
            auto endpoints = nlohmann::ordered_json::array();
            for (const Endpoint& ep : iface.endpoints) {
                nlohmann::ordered_json e;
                e["address"] = ep.address;
                e["type"] = ep.bulk ? "bulk" : "interrupt";
                e["direction"] = ep.in ? "in" : "out";
                endpoints.push_back(std::move(e));
            }
            entry["endpoints"] = std::move(endpoints);
            interfaces.push_back(std::move(entry));
        }
        device["interfaces"] = std::move(interfaces);
    }
    return QByteArray::fromStdString(device.dump());
}

bool SimulatedBusPresence::appear(const Identity& identity, QString* error)
{
    if (m_present && identity.name != m_identity.name)
        leave();
    m_identity = identity;
    m_readOffsets.clear();
    if (!QDir().mkpath(m_directory)) {
        if (error)
            *error = QStringLiteral("cannot create the bus directory %1").arg(m_directory);
        return false;
    }
    for (const Interface& iface : identity.interfaces)
        for (const Endpoint& ep : iface.endpoints)
            if (!ep.in && ep.bulk) {
                QFile::remove(endpointPath(ep.address));
                m_readOffsets[ep.address] = 0;
            }

    QSaveFile file(descriptionPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(describe(identity)) < 0 || !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(descriptionPath(), file.errorString());
        m_readOffsets.clear();
        return false;
    }
    m_present = true;
    if (!m_readOffsets.empty())
        m_pollTimer.start();
    qCInfo(lcAccessoryEmulator).noquote() << QStringLiteral("on the simulated bus as %1 (%2:%3 \"%4\")")
                                                 .arg(descriptionPath())
                                                 .arg(identity.vendorId, 4, 16, QLatin1Char('0'))
                                                 .arg(identity.productId, 4, 16, QLatin1Char('0'))
                                                 .arg(identity.product);
    return true;
}

void SimulatedBusPresence::leave()
{
    m_pollTimer.stop();
    if (!m_present)
        return;
    m_present = false;
    QFile::remove(descriptionPath());
    for (const auto& [address, offset] : m_readOffsets)
        QFile::remove(endpointPath(address));
    m_readOffsets.clear();
    qCInfo(lcAccessoryEmulator).noquote()
        << QStringLiteral("left the simulated bus (%1)").arg(descriptionPath());
}

void SimulatedBusPresence::poll()
{
    // Snapshot the endpoints: a receiver of bulkOutReceived may make us leave (and clear them).
    const auto offsets = m_readOffsets;
    for (const auto& [address, offset] : offsets) {
        QFile file(endpointPath(address));
        if (!file.exists() || !file.open(QIODevice::ReadOnly))
            continue;
        const qint64 size = file.size();
        if (size <= offset)
            continue;
        file.seek(offset);
        const QByteArray bytes = file.read(std::min(size - offset, kMaxChunk));
        if (bytes.isEmpty())
            continue;
        m_readOffsets[address] = offset + bytes.size();
        emit bulkOutReceived(address, bytes);
        if (!m_present)
            return;
    }
}
