#pragma once

#include "QuorbelOSXUtility/FramebufferDriver.h"

#include <QImage>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <cstdint>
#include <memory>
#include <optional>

class FramebufferConnection;

// Keys of a framebuffer mode dictionary (the values are the strings shown). Width and height
// are unsigned numbers.
extern const char* const kKPFramebufferInfoName;   // "kKPFramebufferInfoName"
extern const char* const kKPFramebufferInfoWidth;  // "kKPFramebufferInfoWidth"
extern const char* const kKPFramebufferInfoHeight; // "kKPFramebufferInfoHright"

// Client of a Linux framebuffer device (/dev/fbN); see MyFramebuffer.h for what a mode is.
// The first argument of each operation is an open connection to the device. One process-wide
// mapping of the framebuffer, driverBuffer(), is made and undone by setFramebuffer().
class KPFramebufferUtility
{
public:
    // 0 or a negative errno.
    static int enableFrameBuffer(FramebufferConnection* connection, std::uint32_t mode);
    static int disableFrameBuffer(FramebufferConnection* connection);
    // 1 while enabled through this connection, 0 when not; a negative errno when the device
    // does not answer.
    static std::int64_t stateOfFramebuffer(FramebufferConnection* connection);
    static int updateFramebuffer(FramebufferConnection* connection);
    // The number of modes (the highest mode number); 0 on error.
    static std::uint16_t modeCountOfFramebuffer(FramebufferConnection* connection);
    // The mode's dictionary, or none when the driver refuses the mode.
    static std::optional<QVariantMap> modeInfo(std::uint32_t mode, FramebufferConnection* connection);
    // The dictionaries of modes 1 ... count; modes the driver refuses are left out.
    static QVariantList allModeInfo(FramebufferConnection* connection);
    // The device memory mapped into the process, or null.
    static void* mapFramebuffer(FramebufferConnection* connection);
    static int unmapFramebuffer(FramebufferConnection* connection, void* address);
    // The device path of the first framebuffer whose driver is `className` (any when empty),
    // or an empty string; whether there is one.
    static QString
    serviceOfFramebuffer(const QString& className,
                         const std::shared_ptr<FramebufferDriver>& driver = FramebufferDriver::system());
    static bool
    isFramebufferInstalled(const QString& className,
                           const std::shared_ptr<FramebufferDriver>& driver = FramebufferDriver::system());

    // Enabling while nothing is mapped switches to the highest mode, maps the memory and
    // answers true; disabling while mapped unmaps, blanks and answers true. Anything else
    // (enabling twice, disabling while not enabled, a failing driver) does nothing further
    // and answers false.
    static bool setFramebuffer(FramebufferConnection* connection, bool enable);
    static void* driverBuffer();

    // A 24-bit RGB copy (width x height pixels) of the mapped framebuffer, after asking the
    // device for its current layout. Null, with "Something wrong while getting frame buffer
    // image." logged, without a connection or mapping, or when the area does not fit in the
    // visible framebuffer. `buffer` is not used.
    static QImage bitmapRepFromBuffer(FramebufferConnection* connection, const void* buffer, int width,
                                      int height);
    // An image of the bitmap's size holding it, as 24-bit RGB.
    static QImage imageFromNSBitmapImageRep(const QImage& bitmap);

    // Called by a connection that is being closed: a process-wide mapping made through it
    // goes away with it.
    static void connectionClosing(FramebufferConnection* connection);
};
