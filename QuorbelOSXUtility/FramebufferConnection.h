#pragma once

#include "QuorbelOSXUtility/FramebufferDriver.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

// The pixel layout of a framebuffer as its driver last reported it.
struct FramebufferGeometry
{
    std::uint32_t width = 0; // visible pixels
    std::uint32_t height = 0;
    std::uint32_t xOffset = 0; // the visible area's place in the memory
    std::uint32_t yOffset = 0;
    std::uint32_t bitsPerPixel = 0;
    std::uint32_t lineLength = 0; // bytes per row
    std::uint32_t redOffset = 0, redLength = 0;
    std::uint32_t greenOffset = 0, greenLength = 0;
    std::uint32_t blueOffset = 0, blueLength = 0;
    std::size_t memoryLength = 0; // bytes of device memory that can be mapped
};

// An open framebuffer device (/dev/fbN). Closing it (destruction) unmaps whatever was mapped
// through it and closes the device.
class FramebufferConnection
{
public:
    static constexpr int kMaxDevices = 32; // /dev/fb0 ... /dev/fb31

    // Null, with a negative errno in `error`, when the device cannot be opened.
    static std::unique_ptr<FramebufferConnection>
    open(const QString& devicePath, std::shared_ptr<FramebufferDriver> driver = FramebufferDriver::system(),
         int* error = nullptr);
    ~FramebufferConnection();
    FramebufferConnection(const FramebufferConnection&) = delete;
    FramebufferConnection& operator=(const FramebufferConnection&) = delete;

    FramebufferDriver& driver() const { return *m_driver; }
    int fd() const { return m_fd; }
    QString devicePath() const { return m_devicePath; }
    // "/sys/class/graphics/fbN" for "/dev/fbN".
    QString sysfsDirectory() const;

    // Whether the framebuffer was enabled through this connection and not disabled since.
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }
    const FramebufferGeometry& geometry() const { return m_geometry; }
    void setGeometry(const FramebufferGeometry& geometry) { m_geometry = geometry; }

    // Mappings made through this connection, so that they can be undone by address.
    void addMapping(void* address, std::size_t length);
    std::optional<std::size_t> takeMapping(void* address);
    std::optional<std::size_t> mappingLength(const void* address) const;

private:
    FramebufferConnection(std::shared_ptr<FramebufferDriver> driver, int fd, QString devicePath);

    std::shared_ptr<FramebufferDriver> m_driver;
    int m_fd;
    QString m_devicePath;
    bool m_enabled = false;
    FramebufferGeometry m_geometry;
    std::map<void*, std::size_t> m_mappings;
};
