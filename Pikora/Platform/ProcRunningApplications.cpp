#include "Pikora/Platform/ProcRunningApplications.h"

#include "Pikora/App/AppLogging.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <unistd.h>
#include <utility>

namespace {

struct BundleExecutables
{
    const char* bundleIdentifier;
    QStringList executables;
};

const std::vector<BundleExecutables>& bundleTable()
{
    static const std::vector<BundleExecutables> table = {
        {"com.quorbel.Pikora-Installer", {"pikora-installer", "Pikora-Installer"}},
        {"com.Tamsic.Vistrel-Pro", {"vistrelpro", "vistrel-pro", "VistrelPro"}},
        {"com.tamsic.Pikora", {"Pikora"}},
    };
    return table;
}

// The kernel keeps at most 15 bytes of the command name (TASK_COMM_LEN - 1).
constexpr int kCommLength = 15;

// /proc files are small, but a hand-made tree might not be: read a bounded amount.
QByteArray readSmallFile(const QString& path, qint64 limit = 4096)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(limit);
}

bool isPidName(const QString& name)
{
    if (name.isEmpty())
        return false;
    for (QChar c : name) {
        if (!c.isDigit())
            return false;
    }
    return true;
}

} // namespace

ProcRunningApplications::ProcRunningApplications(QString procRoot, Scope scope)
    : m_procRoot(std::move(procRoot)), m_scope(scope)
{
}

QStringList ProcRunningApplications::executableNamesFor(const QString& bundleIdentifier)
{
    for (const auto& entry : bundleTable()) {
        if (bundleIdentifier == QLatin1String(entry.bundleIdentifier))
            return entry.executables;
    }
    return {bundleIdentifier};
}

bool ProcRunningApplications::isApplicationRunning(const QString& bundleIdentifier) const
{
    if (bundleIdentifier.isEmpty())
        return false;
    const QStringList names = executableNamesFor(bundleIdentifier);
    const QDir root(m_procRoot);
    const QStringList entries = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        if (!isPidName(entry))
            continue;
        const QString pidDir = root.filePath(entry);
        if (processMatches(pidDir, names) && (m_scope == Scope::AllUsers || ownedByCurrentUser(pidDir)))
            return true;
    }
    return false;
}

bool ProcRunningApplications::processMatches(const QString& pidDir, const QStringList& names) const
{
    const QString comm = QString::fromUtf8(readSmallFile(pidDir + QStringLiteral("/comm"), 64)).trimmed();
    // The executable link is readable only for our own processes; others fall back to argv[0].
    QString exe = QFileInfo(QFile::symLinkTarget(pidDir + QStringLiteral("/exe"))).fileName();
    if (exe.endsWith(QLatin1String(" (deleted)"))) // the program was replaced while it runs
        exe.chop(10);
    const QByteArray cmdline = readSmallFile(pidDir + QStringLiteral("/cmdline"));
    const QString argv0 = QFileInfo(QString::fromUtf8(cmdline.left(cmdline.indexOf('\0')))).fileName();

    for (const QString& name : names) {
        if (!comm.isEmpty() && (comm == name || (name.toUtf8().size() > kCommLength &&
                                                 comm.toUtf8() == name.toUtf8().left(kCommLength))))
            return true;
        if (exe == name || argv0 == name)
            return true;
    }
    return false;
}

bool ProcRunningApplications::ownedByCurrentUser(const QString& pidDir) const
{
    // "Uid:\t<real>\t<effective>\t<saved>\t<filesystem>"
    const QList<QByteArray> lines = readSmallFile(pidDir + QStringLiteral("/status"), 8192).split('\n');
    for (const QByteArray& line : lines) {
        if (!line.startsWith("Uid:"))
            continue;
        const QList<QByteArray> fields = line.mid(4).simplified().split(' ');
        bool ok = false;
        const uint uid = fields.value(0).toUInt(&ok);
        return ok && uid == static_cast<uint>(::getuid());
    }
    return false;
}

bool ProcRunningApplications::launchApplication(const QString& path, const QStringList& arguments)
{
    qint64 pid = 0;
    if (!QProcess::startDetached(path, arguments, QString(), &pid)) {
        qCWarning(lcPlatform) << "could not launch" << path;
        return false;
    }
    qCInfo(lcPlatform) << "launched" << path << "as process" << pid;
    return true;
}

bool ProcRunningApplications::openUrl(const QUrl& url)
{
    if (!url.isValid() || url.isRelative()) {
        qCWarning(lcPlatform) << "refusing to open invalid address" << url.toString();
        return false;
    }
    if (!QDesktopServices::openUrl(url)) {
        qCWarning(lcPlatform) << "no handler opened" << url.toString();
        return false;
    }
    return true;
}
