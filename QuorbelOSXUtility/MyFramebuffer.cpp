#include "QuorbelOSXUtility/MyFramebuffer.h"

#include "QuorbelOSXUtility/FramebufferConnection.h"

#include <QByteArray>
#include <QList>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/fb.h>
#include <optional>
#include <vector>

namespace {

constexpr std::uint32_t kMaxModeSide = 16384;
constexpr std::size_t kMaxAttributeSize = 64 * 1024;

struct Mode
{
    QByteArray name;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The text of a small attribute file, read through the driver; empty when unreadable.
QByteArray readAttribute(FramebufferDriver& driver, const QString& path)
{
    const int fd = driver.open(path, false);
    if (fd < 0)
        return {};
    QByteArray text;
    char chunk[4096];
    while (std::size_t(text.size()) < kMaxAttributeSize) {
        const qint64 n = driver.read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        text.append(chunk, qsizetype(n));
    }
    driver.close(fd);
    return text.left(qsizetype(kMaxAttributeSize));
}

int variableInfo(FramebufferConnection& c, fb_var_screeninfo& var)
{
    std::memset(&var, 0, sizeof var);
    return c.driver().ioctl(c.fd(), FBIOGET_VSCREENINFO, &var);
}

// Leading decimal digits of `text` from `at` (at most 5 of them), advancing `at`.
std::optional<std::uint32_t> digitsAt(const QByteArray& text, qsizetype& at)
{
    const qsizetype start = at;
    while (at < text.size() && at - start <= 5 && text[at] >= '0' && text[at] <= '9')
        ++at;
    if (at == start || at - start > 5)
        return std::nullopt;
    return text.mid(start, at - start).toUInt();
}

// "U:1920x1080p-60" and the like; false for anything else.
bool parseModeLine(const QByteArray& line, Mode& mode)
{
    if (line.size() < 2 || line[1] != ':')
        return false;
    qsizetype at = 2;
    const std::optional<std::uint32_t> width = digitsAt(line, at);
    if (!width || at >= line.size() || line[at] != 'x')
        return false;
    ++at;
    const std::optional<std::uint32_t> height = digitsAt(line, at);
    if (!height || *width == 0 || *height == 0 || *width > kMaxModeSide || *height > kMaxModeSide)
        return false;
    mode.name = line.left(31);
    mode.width = *width;
    mode.height = *height;
    return true;
}

std::vector<Mode> modesOf(FramebufferConnection& c)
{
    std::vector<Mode> modes;
    const QByteArray text = readAttribute(c.driver(), c.sysfsDirectory() + QStringLiteral("/modes"));
    for (const FramebufferModeRecord& record : parseFramebufferModeList(text)) {
        Mode mode;
        mode.name = QByteArray(record.name, qsizetype(strnlen(record.name, sizeof record.name)));
        mode.width = record.width;
        mode.height = record.height;
        modes.push_back(mode);
    }
    if (modes.empty()) {
        fb_var_screeninfo var;
        if (variableInfo(c, var) == 0 && var.xres > 0 && var.yres > 0) {
            Mode current;
            current.name =
                QByteArray("U:") + QByteArray::number(var.xres) + 'x' + QByteArray::number(var.yres) + 'p';
            current.width = var.xres;
            current.height = var.yres;
            modes.push_back(current);
        }
    }
    return modes;
}

// Asks the driver to take (or, with `activate` FB_ACTIVATE_TEST, only to check) a mode.
int putMode(FramebufferConnection& c, const Mode& mode, std::uint32_t activate)
{
    if (mode.width == 0 || mode.height == 0)
        return -EINVAL;
    fb_var_screeninfo var;
    if (const int rc = variableInfo(c, var); rc < 0)
        return rc;
    var.xres = mode.width;
    var.yres = mode.height;
    var.xres_virtual = std::max(var.xres_virtual, mode.width);
    var.yres_virtual = std::max(var.yres_virtual, mode.height);
    var.xoffset = 0;
    var.yoffset = 0;
    var.activate = activate;
    const int rc = c.driver().ioctl(c.fd(), FBIOPUT_VSCREENINFO, &var);
    return rc < 0 ? rc : 0;
}

int modeNumbered(FramebufferConnection& c, std::uint32_t number, Mode& mode)
{
    const std::vector<Mode> modes = modesOf(c);
    if (number == 0 || number > modes.size())
        return -EINVAL;
    mode = modes[number - 1];
    return 0;
}

} // namespace

std::vector<FramebufferModeRecord> parseFramebufferModeList(const QByteArray& text)
{
    std::vector<FramebufferModeRecord> records;
    for (const QByteArray& raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (records.size() == kMaxFramebufferModes)
            break;
        // A line we cannot read is still a mode number (one the driver will refuse), so that
        // numbers match the list.
        Mode mode;
        if (!parseModeLine(line, mode))
            mode.name = line.left(31);
        FramebufferModeRecord record;
        std::memset(&record, 0, sizeof record);
        std::memcpy(record.name, mode.name.constData(),
                    std::min<std::size_t>(std::size_t(mode.name.size()), sizeof record.name - 1));
        record.width = mode.width;
        record.height = mode.height;
        records.push_back(record);
    }
    return records;
}

QString FindFramebufferDriver(const QString& className, FramebufferDriver& driver)
{
    for (int i = 0; i < FramebufferConnection::kMaxDevices; ++i) {
        const QString path = QStringLiteral("/dev/fb%1").arg(i);
        const int fd = driver.open(path, false);
        if (fd < 0)
            continue;
        fb_fix_screeninfo fix;
        std::memset(&fix, 0, sizeof fix);
        const int rc = driver.ioctl(fd, FBIOGET_FSCREENINFO, &fix);
        driver.close(fd);
        if (rc < 0)
            continue;
        const QString id = QString::fromLatin1(fix.id, qsizetype(strnlen(fix.id, sizeof fix.id)));
        // The kernel keeps at most 16 characters of a driver's name.
        if (className.isEmpty() || id == className.left(qsizetype(sizeof fix.id)))
            return path;
    }
    return {};
}

int MyGetModeCount(FramebufferConnection* connection, std::uint16_t* count)
{
    if (!connection || !count)
        return -EINVAL;
    *count = std::uint16_t(modesOf(*connection).size());
    return 0;
}

int MyGetModeInfo(FramebufferConnection* connection, std::uint32_t mode, FramebufferModeRecord* record)
{
    if (!connection || !record)
        return -EINVAL;
    Mode m;
    if (const int rc = modeNumbered(*connection, mode, m); rc < 0)
        return rc;
    if (const int rc = putMode(*connection, m, FB_ACTIVATE_TEST); rc < 0)
        return rc;
    std::memset(record, 0, sizeof *record);
    std::memcpy(record->name, m.name.constData(),
                std::min<std::size_t>(m.name.size(), sizeof record->name - 1));
    record->width = m.width;
    record->height = m.height;
    return 0;
}

int MyCheckFramebufferState(FramebufferConnection* connection, std::uint64_t* state)
{
    if (!connection || !state)
        return -EINVAL;
    fb_var_screeninfo var;
    if (const int rc = variableInfo(*connection, var); rc < 0)
        return rc;
    *state = connection->isEnabled() ? 1 : 0;
    return 0;
}

int MyEnableFramebuffer(FramebufferConnection* connection, std::uint32_t mode)
{
    if (!connection)
        return -EINVAL;
    Mode m;
    if (const int rc = modeNumbered(*connection, mode, m); rc < 0)
        return rc;
    if (const int rc = putMode(*connection, m, FB_ACTIVATE_NOW); rc < 0)
        return rc;
    // Drivers without blanking answer EINVAL; the mode is set all the same.
    const int rc =
        connection->driver().ioctl(connection->fd(), FBIOBLANK, reinterpret_cast<void*>(FB_BLANK_UNBLANK));
    if (rc < 0 && rc != -EINVAL)
        return rc;
    connection->setEnabled(true);
    return MyUpdateMemory(connection);
}

int MyDisableFramebuffer(FramebufferConnection* connection)
{
    if (!connection)
        return -EINVAL;
    const int rc =
        connection->driver().ioctl(connection->fd(), FBIOBLANK, reinterpret_cast<void*>(FB_BLANK_POWERDOWN));
    if (rc < 0 && rc != -EINVAL)
        return rc;
    connection->setEnabled(false);
    return 0;
}

int MyMapFramebuffer(FramebufferConnection* connection, void** address, std::size_t* size)
{
    if (!connection || !address)
        return -EINVAL;
    if (const int rc = MyUpdateMemory(connection); rc < 0)
        return rc;
    const std::size_t length = connection->geometry().memoryLength;
    if (length == 0)
        return -ENOMEM;
    void* mapped = connection->driver().mmap(connection->fd(), length);
    if (!mapped)
        return -ENOMEM;
    connection->addMapping(mapped, length);
    *address = mapped;
    if (size)
        *size = length;
    return 0;
}

int MyUnmapFramebuffer(FramebufferConnection* connection, void* address)
{
    if (!connection || !address)
        return -EINVAL;
    const std::optional<std::size_t> length = connection->takeMapping(address);
    if (!length)
        return -EINVAL;
    return connection->driver().munmap(address, *length);
}

int MyUpdateMemory(FramebufferConnection* connection)
{
    if (!connection)
        return -EINVAL;
    fb_var_screeninfo var;
    if (const int rc = variableInfo(*connection, var); rc < 0)
        return rc;
    fb_fix_screeninfo fix;
    std::memset(&fix, 0, sizeof fix);
    if (const int rc = connection->driver().ioctl(connection->fd(), FBIOGET_FSCREENINFO, &fix); rc < 0)
        return rc;
    FramebufferGeometry g;
    g.width = var.xres;
    g.height = var.yres;
    g.xOffset = var.xoffset;
    g.yOffset = var.yoffset;
    g.bitsPerPixel = var.bits_per_pixel;
    g.lineLength = fix.line_length;
    g.redOffset = var.red.offset;
    g.redLength = var.red.length;
    g.greenOffset = var.green.offset;
    g.greenLength = var.green.length;
    g.blueOffset = var.blue.offset;
    g.blueLength = var.blue.length;
    g.memoryLength = fix.smem_len;
    connection->setGeometry(g);
    return 0;
}
