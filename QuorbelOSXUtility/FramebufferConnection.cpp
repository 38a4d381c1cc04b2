#include "QuorbelOSXUtility/FramebufferConnection.h"

#include "QuorbelOSXUtility/KPFramebufferUtility.h"

#include <QFileInfo>
#include <cerrno>

std::unique_ptr<FramebufferConnection>
FramebufferConnection::open(const QString& devicePath, std::shared_ptr<FramebufferDriver> driver, int* error)
{
    if (!driver || devicePath.isEmpty()) {
        if (error)
            *error = -EINVAL;
        return nullptr;
    }
    const int fd = driver->open(devicePath, true);
    if (fd < 0) {
        if (error)
            *error = fd;
        return nullptr;
    }
    if (error)
        *error = 0;
    return std::unique_ptr<FramebufferConnection>(
        new FramebufferConnection(std::move(driver), fd, devicePath));
}

FramebufferConnection::FramebufferConnection(std::shared_ptr<FramebufferDriver> driver, int fd,
                                             QString devicePath)
    : m_driver(std::move(driver)), m_fd(fd), m_devicePath(std::move(devicePath))
{
}

FramebufferConnection::~FramebufferConnection()
{
    KPFramebufferUtility::connectionClosing(this);
    for (const auto& [address, length] : m_mappings)
        m_driver->munmap(address, length);
    m_driver->close(m_fd);
}

QString FramebufferConnection::sysfsDirectory() const
{
    return QStringLiteral("/sys/class/graphics/") + QFileInfo(m_devicePath).fileName();
}

void FramebufferConnection::addMapping(void* address, std::size_t length)
{
    m_mappings[address] = length;
}

std::optional<std::size_t> FramebufferConnection::takeMapping(void* address)
{
    const auto it = m_mappings.find(address);
    if (it == m_mappings.end())
        return std::nullopt;
    const std::size_t length = it->second;
    m_mappings.erase(it);
    return length;
}

std::optional<std::size_t> FramebufferConnection::mappingLength(const void* address) const
{
    const auto it = m_mappings.find(const_cast<void*>(address));
    if (it == m_mappings.end())
        return std::nullopt;
    return it->second;
}
