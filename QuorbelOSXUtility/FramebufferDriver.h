#pragma once

#include <QString>
#include <QtGlobal>
#include <cstddef>
#include <memory>

// The few system calls the framebuffer client makes on Linux fbdev devices (/dev/fbN) and
// their sysfs attributes, behind an interface so that tests can stand in a fake device.
// Every call answers a negative errno on failure, as the kernel does.
class FramebufferDriver
{
public:
    virtual ~FramebufferDriver() = default;

    // A file descriptor (>= 0), or -errno.
    virtual int open(const QString& path, bool writable) = 0;
    virtual int close(int fd) = 0;
    // The request's result (>= 0), or -errno. `argument` points at the request's structure.
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    // Reads at most `size` bytes: their count, or -errno.
    virtual qint64 read(int fd, void* buffer, std::size_t size) = 0;
    // Maps `length` bytes of the device from offset 0, shared and read/write; null on failure.
    virtual void* mmap(int fd, std::size_t length) = 0;
    virtual int munmap(void* address, std::size_t length) = 0;

    // The kernel's.
    static std::shared_ptr<FramebufferDriver> system();
};
