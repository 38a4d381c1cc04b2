#include "PikoraLoginHelper/AppDelegate.h"

#include "Pikora/Platform/RunningApplications.h"
#include "PikoraLoginHelper/LoginHelperLogging.h"
#include "Support/BundleInfo.h"
#include "Support/InstallLayout.h"

#include <QDir>
#include <QStringList>
#include <utility>

namespace PikoraLoginHelper {

AppDelegate::AppDelegate(RunningApplications& workspace, const BundleInfo& bundleInfo, QString helperPath)
    : m_workspace(workspace), m_bundleInfo(bundleInfo), m_helperPath(std::move(helperPath))
{
}

std::optional<QString> AppDelegate::mainExecutablePath(const QString& helperPath, const QString& targetName)
{
    if (targetName.isEmpty() || targetName == QLatin1String(".") || targetName == QLatin1String("..") ||
        targetName.contains(QLatin1Char('/')))
        return std::nullopt;
    const QString helper = QDir::cleanPath(helperPath);
    if (!QDir::isAbsolutePath(helper))
        return std::nullopt;
    // Drop the helper, its folder and the folder above, checking that they are the ones an
    // installation uses, and go into the application folder beside them. Only the path is
    // looked at: nothing here needs to exist.
    QStringList parts = helper.split(QLatin1Char('/'));
    if (parts.size() < 4)
        return std::nullopt;
    parts.removeLast();
    if (parts.takeLast() != QLatin1String(InstallLayout::kHelperDirectory) ||
        parts.takeLast() != QLatin1String(InstallLayout::kHelperParentDirectory))
        return std::nullopt;
    parts << QLatin1String(InstallLayout::kApplicationDirectory) << targetName;
    return QDir::cleanPath(parts.join(QLatin1Char('/')));
}

void AppDelegate::applicationDidFinishLaunching()
{
    const QString bundleId = m_bundleInfo.stringValue(QStringLiteral("TARGET_APP_BUNDLE_ID"));
    const bool running = m_workspace.isApplicationRunning(bundleId);
    const QString name = m_bundleInfo.stringValue(QStringLiteral("TARGET_APP_NAME"));
    if (running) {
        qCInfo(lcLoginHelper).noquote() << QStringLiteral("%1 is running already").arg(bundleId);
        return;
    }
    const std::optional<QString> path = mainExecutablePath(m_helperPath, name);
    if (!path) {
        qCWarning(lcLoginHelper).noquote()
            << QStringLiteral("%1 is not inside a Pikora installation (<prefix>/%2/%3/); not starting '%4'")
                   .arg(m_helperPath, QLatin1String(InstallLayout::kHelperParentDirectory),
                        QLatin1String(InstallLayout::kHelperDirectory), name);
        return;
    }
    // A failure is logged by the workspace; the helper quits either way.
    m_workspace.launchApplication(*path);
}

} // namespace PikoraLoginHelper
