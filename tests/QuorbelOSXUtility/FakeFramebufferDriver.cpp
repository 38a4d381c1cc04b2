#include "tests/QuorbelOSXUtility/FakeFramebufferDriver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/fb.h>

FakeFramebufferDriver::Device& FakeFramebufferDriver::addDevice(int index, Device device)
{
    return m_devices[index] = std::move(device);
}

std::uint32_t FakeFramebufferDriver::lineLengthOf(const Device& d) const
{
    return d.lineLength ? d.lineLength : d.width * (d.bitsPerPixel / 8);
}

int FakeFramebufferDriver::open(const QString& path, bool)
{
    for (const auto& [index, device] : m_devices) {
        File file;
        file.device = index;
        if (path == QStringLiteral("/dev/fb%1").arg(index)) {
        } else if (path == QStringLiteral("/sys/class/graphics/fb%1/modes").arg(index) && device.modes) {
            file.modesAttribute = true;
        } else {
            continue;
        }
        const int fd = m_nextFd++;
        m_files[fd] = file;
        return fd;
    }
    return -ENOENT;
}

int FakeFramebufferDriver::close(int fd)
{
    return m_files.erase(fd) ? 0 : -EBADF;
}

qint64 FakeFramebufferDriver::read(int fd, void* buffer, std::size_t size)
{
    const auto it = m_files.find(fd);
    if (it == m_files.end() || !it->second.modesAttribute)
        return -EBADF;
    const QByteArray& text = *m_devices.at(it->second.device).modes;
    const qsizetype n = std::min<qsizetype>(qsizetype(size), text.size() - it->second.readOffset);
    std::memcpy(buffer, text.constData() + it->second.readOffset, std::size_t(n));
    it->second.readOffset += n;
    return n;
}

int FakeFramebufferDriver::ioctl(int fd, unsigned long request, void* argument)
{
    const auto it = m_files.find(fd);
    if (it == m_files.end() || it->second.modesAttribute)
        return -EBADF;
    Device& d = m_devices.at(it->second.device);
    switch (request) {
    case FBIOGET_VSCREENINFO: {
        auto* var = static_cast<fb_var_screeninfo*>(argument);
        std::memset(var, 0, sizeof *var);
        var->xres = var->xres_virtual = d.width;
        var->yres = var->yres_virtual = d.height;
        var->bits_per_pixel = d.bitsPerPixel;
        if (d.bitsPerPixel == 16) {
            var->red = {11, 5, 0};
            var->green = {5, 6, 0};
            var->blue = {0, 5, 0};
        } else {
            var->red = {16, 8, 0};
            var->green = {8, 8, 0};
            var->blue = {0, 8, 0};
        }
        return 0;
    }
    case FBIOGET_FSCREENINFO: {
        auto* fix = static_cast<fb_fix_screeninfo*>(argument);
        std::memset(fix, 0, sizeof *fix);
        std::memcpy(fix->id, d.id.constData(), std::min<std::size_t>(d.id.size(), sizeof fix->id));
        fix->line_length = lineLengthOf(d);
        fix->smem_len = lineLengthOf(d) * d.height;
        return 0;
    }
    case FBIOPUT_VSCREENINFO: {
        const auto* var = static_cast<const fb_var_screeninfo*>(argument);
        if (d.refused.count({var->xres, var->yres}))
            return -EINVAL;
        if (var->activate == FB_ACTIVATE_TEST)
            return 0;
        d.width = var->xres;
        d.height = var->yres;
        d.modesSet.emplace_back(var->xres, var->yres);
        d.memory.clear();
        return 0;
    }
    case FBIOBLANK:
        if (!d.blankSupported)
            return -EINVAL;
        d.blank = int(reinterpret_cast<std::uintptr_t>(argument));
        return 0;
    default:
        return -ENOTTY;
    }
}

void* FakeFramebufferDriver::mmap(int fd, std::size_t length)
{
    const auto it = m_files.find(fd);
    if (it == m_files.end() || it->second.modesAttribute)
        return nullptr;
    Device& d = m_devices.at(it->second.device);
    const std::size_t size = std::size_t(lineLengthOf(d)) * d.height;
    if (length > size)
        return nullptr;
    if (d.memory.size() != size)
        d.memory.assign(size, 0);
    ++mapCount;
    return d.memory.data();
}

int FakeFramebufferDriver::munmap(void* address, std::size_t)
{
    if (!address)
        return -EINVAL;
    ++unmapCount;
    return 0;
}
