#include "QuorbelOSXUtility/SimulatedUsbDeviceHandle.h"

#include "QuorbelOSXUtility/UtilityLogging.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<SimulatedUsbDeviceHandle::FileIdentity>
SimulatedUsbDeviceHandle::identityOf(const QString& path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return identityOf(st);
}

SimulatedUsbDeviceHandle::FileIdentity SimulatedUsbDeviceHandle::identityOf(const struct stat& st)
{
    return FileIdentity{static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino),
                        static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

SimulatedUsbDeviceHandle::SimulatedUsbDeviceHandle(const QString& directory, const QString& name,
                                                   SimulatedUsbDescription description, FileIdentity identity)
    : m_directory(directory), m_name(name), m_description(std::move(description)), m_identity(identity)
{
}

SimulatedUsbDeviceHandle::~SimulatedUsbDeviceHandle()
{
    // Closing releases every claimed interface.
    m_claimed.clear();
}

bool SimulatedUsbDeviceHandle::stillAttached() const
{
    const auto now = identityOf(QDir(m_directory).filePath(SimulatedUsbFormat::descriptionFileName(m_name)));
    return now && *now == m_identity;
}

UsbResult SimulatedUsbDeviceHandle::interfaces(std::vector<UsbInterface>& out)
{
    if (!stillAttached())
        return UsbResult::NoDevice;
    out = m_description.interfaces;
    return UsbResult::Ok;
}

UsbResult SimulatedUsbDeviceHandle::claimInterface(std::uint8_t number)
{
    if (!stillAttached())
        return UsbResult::NoDevice;
    for (const UsbInterface& interface : m_description.interfaces) {
        if (interface.number == number) {
            m_claimed.insert(number);
            return UsbResult::Ok;
        }
    }
    return UsbResult::NotFound;
}

UsbResult SimulatedUsbDeviceHandle::releaseInterface(std::uint8_t number)
{
    if (m_claimed.erase(number) == 0)
        return UsbResult::NotFound;
    return stillAttached() ? UsbResult::Ok : UsbResult::NoDevice;
}

UsbResult SimulatedUsbDeviceHandle::bulkWrite(std::uint8_t endpoint, const QByteArray& data,
                                              std::chrono::milliseconds /*timeout*/, int* transferred)
{
    if (transferred)
        *transferred = 0;
    if (!stillAttached())
        return UsbResult::NoDevice;

    const UsbInterface* owner = nullptr;
    for (const UsbInterface& interface : m_description.interfaces) {
        for (const UsbEndpoint& e : interface.endpoints) {
            if (e.address == endpoint && e.type == UsbEndpoint::Type::Bulk &&
                e.direction == UsbEndpoint::Direction::Out)
                owner = &interface;
        }
    }
    if (!owner) {
        qCWarning(lcUsb) << "simulated device" << m_name << "has no bulk OUT endpoint" << endpoint;
        return UsbResult::InvalidArgument;
    }
    if (!m_claimed.count(owner->number)) {
        qCWarning(lcUsb) << "simulated device" << m_name << ": interface" << owner->number
                         << "is not claimed";
        return UsbResult::InvalidArgument;
    }

    const QByteArray path =
        QFile::encodeName(QDir(m_directory).filePath(SimulatedUsbFormat::endpointFileName(m_name, endpoint)));
    // Never through a symbolic link, never blocking on a FIFO, and only into a regular file.
    const int fd =
        ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        qCWarning(lcUsb) << "simulated device: cannot open" << path << ":" << strerror(errno);
        return errno == EAGAIN || errno == EWOULDBLOCK ? UsbResult::Timeout : UsbResult::Io;
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        qCWarning(lcUsb) << "simulated device: endpoint file" << path << "is not a regular file";
        ::close(fd);
        return UsbResult::Io;
    }
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, static_cast<size_t>(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    ::close(fd);
    if (transferred)
        *transferred = static_cast<int>(written);
    return written == data.size() ? UsbResult::Ok : UsbResult::Io;
}
