#include "Support/InstallLayout.h"

#include "Pikora/Accessory/LauncherConnector.h"
#include "Pikora/StartAtLoginController/XdgAutostartLoginItems.h"
#include "QuorbelOSXUtility/KPUSBController.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

namespace {

QString readText(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(file.readAll());
}

QString usbIds(std::uint32_t vendor, std::uint32_t product)
{
    return QStringLiteral("%1:%2").arg(vendor, 4, 16, QLatin1Char('0')).arg(product, 4, 16, QLatin1Char('0'));
}

} // namespace

TEST(InstallLayoutTest, UdevRuleGrantsTheSeatUserTheAccessoryAndNothingElse)
{
    const QString rule = readText(QStringLiteral(PIKORA_TEST_UDEV_RULE));
    KPUSBController description(KPUSBController::descriptionPathForChipModel({}));
    const QSet<QString> expected = {
        usbIds(description.plistRawVID(), description.plistRawPID()),
        usbIds(LauncherConnector::kVendorId, LauncherConnector::kProductId),
    };
    ASSERT_EQ(expected.size(), 2);

    // Every rule line that grants something names exactly one vendor and product.
    constexpr const char* kGrant =
        R"re(^ATTR\{idVendor\}=="([0-9a-f]{4})", ATTR\{idProduct\}=="([0-9a-f]{4})", TAG\+="uaccess"$)re";
    static const QRegularExpression grant(QString::fromLatin1(kGrant));
    QSet<QString> granted;
    int grants = 0;
    for (const QString& line : rule.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('#')) || line.trimmed().isEmpty())
            continue;
        if (!line.contains(QLatin1String("TAG+=")) && !line.contains(QLatin1String("MODE")) &&
            !line.contains(QLatin1String("GROUP")) && !line.contains(QLatin1String("OWNER")))
            continue;
        ++grants;
        const QRegularExpressionMatch m = grant.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        granted.insert(m.captured(1) + QLatin1Char(':') + m.captured(2));
    }
    EXPECT_EQ(grants, 2);
    EXPECT_EQ(granted, expected);
    // Only whole USB devices of the usb subsystem are considered, and never on removal.
    EXPECT_TRUE(rule.contains(QLatin1String(R"(SUBSYSTEM!="usb", GOTO="pikora_accessory_end")")));
    EXPECT_TRUE(rule.contains(QLatin1String(R"(ENV{DEVTYPE}!="usb_device", GOTO="pikora_accessory_end")")));
    EXPECT_TRUE(rule.contains(QLatin1String(R"(ACTION=="remove", GOTO="pikora_accessory_end")")));
    EXPECT_TRUE(rule.contains(QLatin1String(R"(LABEL="pikora_accessory_end")")));
}

TEST(InstallLayoutTest, DesktopFilesAgreeOnNamesAndPlaces)
{
    const QString desktop = readText(QStringLiteral(PIKORA_TEST_DESKTOP_DIR "/com.tamsic.Pikora.desktop"));
    EXPECT_TRUE(
        desktop.contains(QStringLiteral("\nExec=%1\n").arg(QLatin1String(InstallLayout::kApplicationName))));
    EXPECT_TRUE(desktop.contains(QLatin1String("\nIcon=com.tamsic.Pikora\n")));
    EXPECT_TRUE(QFile::exists(QStringLiteral(PIKORA_TEST_DESKTOP_DIR "/com.tamsic.Pikora.svg")));

    // The application finds its helper where the helper finds the application.
    EXPECT_EQ(XdgAutostartLoginItems::helperPathForApplicationDirectory(
                  QStringLiteral("/usr/") + QLatin1String(InstallLayout::kApplicationDirectory)),
              QStringLiteral("/usr/libexec/pikora/PikoraLoginHelper"));
}
