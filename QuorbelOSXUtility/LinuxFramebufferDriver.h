#pragma once

#include "QuorbelOSXUtility/FramebufferDriver.h"

// FramebufferDriver over the real system calls.
class LinuxFramebufferDriver final : public FramebufferDriver
{
public:
    int open(const QString& path, bool writable) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    qint64 read(int fd, void* buffer, std::size_t size) override;
    void* mmap(int fd, std::size_t length) override;
    int munmap(void* address, std::size_t length) override;
};
