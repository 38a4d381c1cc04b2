// Autostart entries are files any program of the user may write. Feeds arbitrary bytes to the
// entry reader (it must not crash or hang) and, read as a path, to the Exec quoting: whatever
// it accepts must read back as exactly the same path, and an entry written with it must stay
// one enabled entry.
#include "Pikora/StartAtLoginController/XdgAutostartLoginItems.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Reads one Exec argument back: undoes the desktop-entry string escapes and %% first, then
// the quoting.
QString readBack(const QString& value)
{
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == QLatin1Char('\\') && i + 1 < value.size() && value[i + 1] == QLatin1Char('\\')) {
            text += QLatin1Char('\\');
            ++i;
        } else if (value[i] == QLatin1Char('%') && i + 1 < value.size() && value[i + 1] == QLatin1Char('%')) {
            text += QLatin1Char('%');
            ++i;
        } else if (value[i] == QLatin1Char('\\') || value[i] == QLatin1Char('%')) {
            std::abort(); // a lone escape or field code
        } else {
            text += value[i];
        }
    }
    if (!text.startsWith(QLatin1Char('"')))
        return text;
    if (text.size() < 2 || !text.endsWith(QLatin1Char('"')))
        std::abort();
    QString argument;
    for (qsizetype i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == QLatin1Char('\\')) {
            ++i;
            if (i + 1 >= text.size())
                std::abort();
        } else if (text[i] == QLatin1Char('"') || text[i] == QLatin1Char('`') ||
                   text[i] == QLatin1Char('$')) {
            std::abort(); // must have been escaped
        }
        argument += text[i];
    }
    return argument;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    (void)XdgAutostartLoginItems::isEnabledEntry(bytes);

    const QString path = QString::fromUtf8(bytes);
    const std::optional<QString> value = XdgAutostartLoginItems::execArgument(path);
    if (!value)
        return 0;
    if (readBack(*value) != path)
        std::abort();
    if (!XdgAutostartLoginItems::isEnabledEntry("[Desktop Entry]\nExec=" + value->toUtf8() + "\n"))
        std::abort();
    return 0;
}
