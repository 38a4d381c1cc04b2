#include "QuorbelOSXUtility/KPFramebufferUtility.h"

#include "QuorbelOSXUtility/FramebufferConnection.h"
#include "QuorbelOSXUtility/MyFramebuffer.h"
#include "QuorbelOSXUtility/UtilityLogging.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

const char* const kKPFramebufferInfoName = "kKPFramebufferInfoName";
const char* const kKPFramebufferInfoWidth = "kKPFramebufferInfoWidth";
const char* const kKPFramebufferInfoHeight = "kKPFramebufferInfoHright";

namespace {

struct DriverBuffer
{
    std::mutex mutex;
    void* address = nullptr;
    FramebufferConnection* connection = nullptr; // the one that mapped it
};

DriverBuffer& driverBufferState()
{
    static DriverBuffer state;
    return state;
}

// One channel of a pixel value, scaled to 8 bits.
inline std::uint8_t channel(std::uint32_t pixel, std::uint32_t offset, std::uint32_t length)
{
    if (length == 0 || offset >= 32)
        return 0;
    const std::uint32_t bits = std::min<std::uint32_t>(length, 32 - offset);
    const std::uint32_t max = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    const std::uint32_t value = (pixel >> offset) & max;
    return std::uint8_t(bits >= 8 ? value >> (bits - 8) : (value * 255 + max / 2) / max);
}

} // namespace

int KPFramebufferUtility::enableFrameBuffer(FramebufferConnection* connection, std::uint32_t mode)
{
    return MyEnableFramebuffer(connection, mode);
}

int KPFramebufferUtility::disableFrameBuffer(FramebufferConnection* connection)
{
    return MyDisableFramebuffer(connection);
}

std::int64_t KPFramebufferUtility::stateOfFramebuffer(FramebufferConnection* connection)
{
    std::uint64_t state = 0;
    const int rc = MyCheckFramebufferState(connection, &state);
    return rc < 0 ? rc : std::int64_t(state);
}

int KPFramebufferUtility::updateFramebuffer(FramebufferConnection* connection)
{
    return MyUpdateMemory(connection);
}

std::uint16_t KPFramebufferUtility::modeCountOfFramebuffer(FramebufferConnection* connection)
{
    std::uint16_t count = 0;
    return MyGetModeCount(connection, &count) < 0 ? 0 : count;
}

std::optional<QVariantMap> KPFramebufferUtility::modeInfo(std::uint32_t mode,
                                                          FramebufferConnection* connection)
{
    FramebufferModeRecord record;
    if (MyGetModeInfo(connection, mode, &record) < 0)
        return std::nullopt;
    QVariantMap info;
    info.insert(QLatin1String(kKPFramebufferInfoName),
                QString::fromLatin1(record.name, qsizetype(strnlen(record.name, sizeof record.name))));
    info.insert(QLatin1String(kKPFramebufferInfoWidth), uint(record.width));
    info.insert(QLatin1String(kKPFramebufferInfoHeight), uint(record.height));
    return info;
}

QVariantList KPFramebufferUtility::allModeInfo(FramebufferConnection* connection)
{
    QVariantList list;
    const std::uint16_t count = modeCountOfFramebuffer(connection);
    for (std::uint32_t mode = 1; mode <= count; ++mode) {
        if (const std::optional<QVariantMap> info = modeInfo(mode, connection))
            list.append(*info);
    }
    return list;
}

void* KPFramebufferUtility::mapFramebuffer(FramebufferConnection* connection)
{
    void* address = nullptr;
    return MyMapFramebuffer(connection, &address, nullptr) < 0 ? nullptr : address;
}

int KPFramebufferUtility::unmapFramebuffer(FramebufferConnection* connection, void* address)
{
    return MyUnmapFramebuffer(connection, address);
}

QString KPFramebufferUtility::serviceOfFramebuffer(const QString& className,
                                                   const std::shared_ptr<FramebufferDriver>& driver)
{
    return driver ? FindFramebufferDriver(className, *driver) : QString();
}

bool KPFramebufferUtility::isFramebufferInstalled(const QString& className,
                                                  const std::shared_ptr<FramebufferDriver>& driver)
{
    return !serviceOfFramebuffer(className, driver).isEmpty();
}

bool KPFramebufferUtility::setFramebuffer(FramebufferConnection* connection, bool enable)
{
    if (!connection)
        return false;
    DriverBuffer& state = driverBufferState();
    std::lock_guard lock(state.mutex);
    if (enable && !state.address) {
        const std::uint16_t mode = modeCountOfFramebuffer(connection);
        if (const int rc = enableFrameBuffer(connection, mode); rc < 0) {
            qCWarning(lcDisplay) << "cannot enable framebuffer" << connection->devicePath() << "mode" << mode
                                 << ":" << std::strerror(-rc);
            return false;
        }
        void* address = mapFramebuffer(connection);
        if (!address) {
            qCWarning(lcDisplay) << "cannot map framebuffer" << connection->devicePath();
            disableFrameBuffer(connection);
            return false;
        }
        state.address = address;
        state.connection = connection;
        return true;
    }
    if (!enable && state.address) {
        // The mapping belongs to the connection that made it.
        FramebufferConnection* owner = state.connection ? state.connection : connection;
        unmapFramebuffer(owner, state.address);
        disableFrameBuffer(connection);
        state.address = nullptr;
        state.connection = nullptr;
        return true;
    }
    return false;
}

void* KPFramebufferUtility::driverBuffer()
{
    DriverBuffer& state = driverBufferState();
    std::lock_guard lock(state.mutex);
    return state.address;
}

void KPFramebufferUtility::connectionClosing(FramebufferConnection* connection)
{
    DriverBuffer& state = driverBufferState();
    std::lock_guard lock(state.mutex);
    if (state.connection == connection) {
        state.address = nullptr;
        state.connection = nullptr;
    }
}

QImage KPFramebufferUtility::bitmapRepFromBuffer(FramebufferConnection* connection, const void* /*buffer*/,
                                                 int width, int height)
{
    DriverBuffer& state = driverBufferState();
    std::lock_guard lock(state.mutex);
    auto fail = [] {
        qCWarning(lcDisplay) << "Something wrong while getting frame buffer image.";
        return QImage();
    };
    if (!connection || !state.address || !state.connection || width <= 0 || height <= 0)
        return fail();
    if (updateFramebuffer(connection) < 0)
        return fail();
    const FramebufferGeometry& g = connection->geometry();
    const std::optional<std::size_t> mapped = state.connection->mappingLength(state.address);
    const std::uint32_t bytesPerPixel = g.bitsPerPixel / 8;
    if (!mapped || (g.bitsPerPixel != 16 && g.bitsPerPixel != 24 && g.bitsPerPixel != 32))
        return fail();
    // Never read outside the visible framebuffer, nor outside the mapping.
    if (std::uint32_t(width) > g.width || std::uint32_t(height) > g.height)
        return fail();
    const std::uint64_t first =
        std::uint64_t(g.yOffset) * g.lineLength + std::uint64_t(g.xOffset) * bytesPerPixel;
    const std::uint64_t end =
        first + std::uint64_t(height - 1) * g.lineLength + std::uint64_t(width) * bytesPerPixel;
    if (g.lineLength < std::uint64_t(width) * bytesPerPixel || end > *mapped)
        return fail();

    QImage image(width, height, QImage::Format_RGB888);
    if (image.isNull())
        return fail();
    const auto* base = static_cast<const std::uint8_t*>(state.address) + first;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = base + std::size_t(y) * g.lineLength;
        std::uint8_t* dst = image.scanLine(y);
        for (int x = 0; x < width; ++x, src += bytesPerPixel, dst += 3) {
            std::uint32_t pixel = 0;
            for (std::uint32_t b = 0; b < bytesPerPixel; ++b)
                pixel |= std::uint32_t(src[b]) << (8 * b);
            dst[0] = channel(pixel, g.redOffset, g.redLength);
            dst[1] = channel(pixel, g.greenOffset, g.greenLength);
            dst[2] = channel(pixel, g.blueOffset, g.blueLength);
        }
    }
    return image;
}

QImage KPFramebufferUtility::imageFromNSBitmapImageRep(const QImage& bitmap)
{
    if (bitmap.isNull())
        return {};
    return bitmap.format() == QImage::Format_RGB888 ? bitmap : bitmap.convertToFormat(QImage::Format_RGB888);
}
