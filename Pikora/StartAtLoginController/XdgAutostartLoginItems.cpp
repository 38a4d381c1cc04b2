#include "Pikora/StartAtLoginController/XdgAutostartLoginItems.h"

#include "Pikora/StartAtLoginController/StartAtLoginLogging.h"
#include "Support/InstallLayout.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <utility>

namespace {

const QString kSuffix = QStringLiteral(".desktop");

bool isValidIdentifier(const QString& identifier)
{
    return !identifier.isEmpty() && identifier != QLatin1String(".") && identifier != QLatin1String("..") &&
           !identifier.contains(QLatin1Char('/')) && !identifier.contains(QChar(0));
}

} // namespace

XdgAutostartLoginItems::XdgAutostartLoginItems(QString helperExecutable, QString autostartDirectory)
    : m_helperExecutable(std::move(helperExecutable)), m_autostartDirectory(std::move(autostartDirectory))
{
}

QString XdgAutostartLoginItems::defaultAutostartDirectory()
{
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the base-directory rules say.
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return QDir::cleanPath(config + QStringLiteral("/autostart"));
}

QString XdgAutostartLoginItems::helperPathForApplicationDirectory(const QString& applicationDirectory)
{
    return QDir::cleanPath(applicationDirectory + QStringLiteral("/../") +
                           QLatin1String(InstallLayout::kHelperParentDirectory) + QLatin1Char('/') +
                           QLatin1String(InstallLayout::kHelperDirectory) + QLatin1Char('/') +
                           QLatin1String(InstallLayout::kHelperName));
}

std::optional<QString> XdgAutostartLoginItems::execArgument(const QString& argument)
{
    if (argument.contains(QLatin1Char('\n')) || argument.contains(QLatin1Char('\r')) ||
        argument.contains(QChar(0)))
        return std::nullopt;
    static const QString reserved = QStringLiteral(" \t\"'\\><~|&;$*?#()`");
    bool quote = argument.isEmpty();
    for (QChar c : argument)
        quote = quote || reserved.contains(c);

    QString value;
    if (quote) {
        // Inside double quotes ", `, $ and \ are escaped with a backslash...
        value += QLatin1Char('"');
        for (QChar c : argument) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\'))
                value += QLatin1Char('\\');
            value += c;
        }
        value += QLatin1Char('"');
    } else {
        value = argument;
    }
    // ...then the whole value is a desktop-entry string, where a backslash is itself escaped,
    // and a literal percent sign is doubled so it is not read as a field code.
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return value;
}

bool XdgAutostartLoginItems::isEnabledEntry(const QByteArray& contents)
{
    bool inMainGroup = false;
    bool sawMainGroup = false;
    bool enabled = true;
    for (const QByteArray& rawLine : contents.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        if (!inMainGroup)
            continue;
        const int eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray key = line.left(eq).trimmed();
        const QByteArray value = line.mid(eq + 1).trimmed();
        if (key == "Hidden" && value == "true")
            enabled = false;
        else if (key == "X-GNOME-Autostart-enabled" && value == "false")
            enabled = false;
    }
    return sawMainGroup && enabled;
}

QString XdgAutostartLoginItems::autostartDirectory() const
{
    return m_autostartDirectory.isEmpty() ? defaultAutostartDirectory() : m_autostartDirectory;
}

QString XdgAutostartLoginItems::entryPath(const QString& identifier) const
{
    if (!isValidIdentifier(identifier))
        return {};
    return autostartDirectory() + QLatin1Char('/') + identifier + kSuffix;
}

std::vector<LoginItems::Job> XdgAutostartLoginItems::jobDictionaries() const
{
    std::vector<Job> jobs;
    const QDir dir(autostartDirectory());
    const QStringList names = dir.entryList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        if (static_cast<int>(jobs.size()) >= kMaxEntries) {
            qCWarning(lcStartAtLogin).noquote()
                << QStringLiteral("more than %1 autostart entries in %2; the rest are not read")
                       .arg(kMaxEntries)
                       .arg(dir.path());
            break;
        }
        QFile file(dir.filePath(name));
        Job job;
        job.label = name.chopped(kSuffix.size());
        job.onDemand = file.open(QIODevice::ReadOnly) && isEnabledEntry(file.read(kMaxEntrySize));
        jobs.push_back(std::move(job));
    }
    return jobs;
}

bool XdgAutostartLoginItems::setLoginItemEnabled(const QString& identifier, bool enabled)
{
    const QString path = entryPath(identifier);
    if (path.isEmpty()) {
        qCWarning(lcStartAtLogin).noquote()
            << QStringLiteral("'%1' cannot name an autostart entry").arg(identifier);
        return false;
    }
    return enabled ? writeEntry(path) : removeEntry(path);
}

bool XdgAutostartLoginItems::writeEntry(const QString& path)
{
    const QFileInfo helper(m_helperExecutable);
    if (!helper.isAbsolute() || !helper.isFile() || !helper.isExecutable()) {
        qCWarning(lcStartAtLogin).noquote()
            << QStringLiteral("the login helper %1 is not installed").arg(m_helperExecutable);
        return false;
    }
    const std::optional<QString> exec = execArgument(helper.absoluteFilePath());
    if (!exec) {
        qCWarning(lcStartAtLogin).noquote()
            << QStringLiteral("the login helper's path cannot be written into an autostart entry");
        return false;
    }
    const QString directory = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(directory)) {
        qCWarning(lcStartAtLogin).noquote() << QStringLiteral("cannot create %1").arg(directory);
        return false;
    }
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Pikora\n"
                                         "Comment=Starts Pikora when you log in\n"
                                         "Exec=%1\n"
                                         "Icon=com.tamsic.Pikora\n"
                                         "Terminal=false\n"
                                         "NoDisplay=true\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(*exec);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(entry.toUtf8()) < 0 || !file.commit()) {
        qCWarning(lcStartAtLogin).noquote()
            << QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool XdgAutostartLoginItems::removeEntry(const QString& path)
{
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return true;
    QFile file(path);
    if (!file.remove()) {
        qCWarning(lcStartAtLogin).noquote()
            << QStringLiteral("cannot remove %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
