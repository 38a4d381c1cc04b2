#include "QuorbelOSXUtility/LinuxFramebufferDriver.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

std::shared_ptr<FramebufferDriver> FramebufferDriver::system()
{
    static const std::shared_ptr<FramebufferDriver> driver = std::make_shared<LinuxFramebufferDriver>();
    return driver;
}

int LinuxFramebufferDriver::open(const QString& path, bool writable)
{
    const int fd = ::open(QFile::encodeName(path).constData(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
}

int LinuxFramebufferDriver::close(int fd)
{
    return ::close(fd) == 0 ? 0 : -errno;
}

int LinuxFramebufferDriver::ioctl(int fd, unsigned long request, void* argument)
{
    int rc;
    do {
        rc = ::ioctl(fd, request, argument);
    } while (rc < 0 && errno == EINTR);
    return rc >= 0 ? rc : -errno;
}

qint64 LinuxFramebufferDriver::read(int fd, void* buffer, std::size_t size)
{
    ssize_t n;
    do {
        n = ::read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n >= 0 ? qint64(n) : -qint64(errno);
}

void* LinuxFramebufferDriver::mmap(int fd, std::size_t length)
{
    void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : address;
}

int LinuxFramebufferDriver::munmap(void* address, std::size_t length)
{
    return ::munmap(address, length) == 0 ? 0 : -errno;
}
