#pragma once

#include "QuorbelOSXUtility/FramebufferDriver.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

// An in-memory stand-in for fbdev devices: /dev/fbN nodes answer the screen-info, mode and
// blank requests, their memory is a byte vector, and /sys/class/graphics/fbN/modes reads
// back the mode list given here. Every call is counted.
class FakeFramebufferDriver : public FramebufferDriver
{
public:
    struct Device
    {
        QByteArray id = "fake_fb";                                 // the driver's name (fix.id)
        std::optional<QByteArray> modes;                           // sysfs "modes"; none = no such file
        std::uint32_t width = 64, height = 48;                     // current mode
        std::uint32_t bitsPerPixel = 32;                           // 32: B,G,R,X bytes; 16: RGB565
        std::uint32_t lineLength = 0;                              // 0 = width * bytes per pixel
        std::set<std::pair<std::uint32_t, std::uint32_t>> refused; // sizes the driver rejects
        bool blankSupported = true;
        std::vector<std::uint8_t> memory; // sized on first use to lineLength * height
        int blank = -1;                   // last FBIOBLANK argument
        std::vector<std::pair<std::uint32_t, std::uint32_t>> modesSet; // FB_ACTIVATE_NOW sizes
    };

    // `index` N makes /dev/fbN.
    Device& addDevice(int index, Device device);
    Device& device(int index) { return m_devices.at(index); }

    int open(const QString& path, bool writable) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    qint64 read(int fd, void* buffer, std::size_t size) override;
    void* mmap(int fd, std::size_t length) override;
    int munmap(void* address, std::size_t length) override;

    int openFiles() const { return int(m_files.size()); }
    int mapCount = 0;
    int unmapCount = 0;
    int liveMappings() const { return mapCount - unmapCount; }

private:
    struct File
    {
        int device = -1;
        bool modesAttribute = false;
        qsizetype readOffset = 0;
    };
    std::uint32_t lineLengthOf(const Device& d) const;

    std::map<int, Device> m_devices;
    std::map<int, File> m_files;
    int m_nextFd = 100;
};
