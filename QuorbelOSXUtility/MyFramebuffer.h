#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

class FramebufferConnection;
class FramebufferDriver;

// Plain-function client of a Linux framebuffer device, for callers that do not want the
// KPFramebufferUtility class. Each answers 0 or a negative errno.
//
// Modes are numbered from 1. They are the device's mode list (its sysfs "modes" attribute,
// lines such as "U:1920x1080p-60"); a device that lists none has one mode, its current one.
// A mode counts only when the driver accepts it (a test-only FBIOPUT_VSCREENINFO).

// One mode as the driver reports it: a NUL-terminated name, then width and height.
struct FramebufferModeRecord
{
    char name[32];
    std::uint32_t width;
    std::uint32_t height;
};
static_assert(sizeof(FramebufferModeRecord) == 40);

// Mode lists longer than this are cut; a sysfs attribute never holds more than a page.
constexpr std::uint16_t kMaxFramebufferModes = 256;

// The modes of a mode list text (one mode a line, "U:1920x1080p-60"; names cut to 31
// characters; at most kMaxFramebufferModes). A line that names no valid size is kept with
// width and height 0, so that mode numbers still match the lines.
std::vector<FramebufferModeRecord> parseFramebufferModeList(const QByteArray& text);

// The device path ("/dev/fbN") of the first framebuffer whose driver identifies itself as
// `className` (any driver when it is empty), or an empty string. Drivers' names are cut to
// 16 characters by the kernel, so only that much of `className` is compared.
QString FindFramebufferDriver(const QString& className, FramebufferDriver& driver);

int MyGetModeCount(FramebufferConnection* connection, std::uint16_t* count);
int MyGetModeInfo(FramebufferConnection* connection, std::uint32_t mode, FramebufferModeRecord* record);
// `state`: 1 while the framebuffer is enabled through this connection, else 0.
int MyCheckFramebufferState(FramebufferConnection* connection, std::uint64_t* state);
// Switches to `mode` and unblanks the display.
int MyEnableFramebuffer(FramebufferConnection* connection, std::uint32_t mode);
// Powers the display down (blanks it).
int MyDisableFramebuffer(FramebufferConnection* connection);
// Maps the whole device memory; `size` receives its length.
int MyMapFramebuffer(FramebufferConnection* connection, void** address, std::size_t* size);
// Undoes a mapping made through the same connection.
int MyUnmapFramebuffer(FramebufferConnection* connection, void* address);
// Reads the device's current pixel layout again into the connection's geometry.
int MyUpdateMemory(FramebufferConnection* connection);
