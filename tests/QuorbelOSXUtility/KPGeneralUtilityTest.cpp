#include "QuorbelOSXUtility/KPGeneralUtility.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(KPGeneralUtility, SystemVersionIsTheOsReleaseVersionId)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("os-release");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
               "VERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\nID=debian\n");
    file.close();
    EXPECT_EQ(KPGeneralUtility(path).systemInfo(), QStringLiteral("12"));
    EXPECT_FALSE(KPGeneralUtility(dir.filePath("missing")).systemInfo());
    // The machine's own file answers something or nothing, but never fails.
    (void)KPGeneralUtility().systemInfo();
}

TEST(KPGeneralUtility, OsReleaseValuesFollowShellQuoting)
{
    EXPECT_EQ(KPGeneralUtility::osReleaseValue("VERSION_ID=22.04\n", "VERSION_ID"), QStringLiteral("22.04"));
    EXPECT_EQ(KPGeneralUtility::osReleaseValue("VERSION_ID='3.19.1'", "VERSION_ID"),
              QStringLiteral("3.19.1"));
    EXPECT_EQ(KPGeneralUtility::osReleaseValue(R"(NAME="A \"quoted\" name")", "NAME"),
              QStringLiteral("A \"quoted\" name"));
    // Neither a longer key, a comment nor an unterminated quote counts.
    EXPECT_FALSE(
        KPGeneralUtility::osReleaseValue("VERSION_ID_LIKE=1\n#VERSION_ID=2\nVERSION_ID=\"3\n", "VERSION_ID"));
    // Rolling releases have no version.
    EXPECT_FALSE(KPGeneralUtility::osReleaseValue("ID=arch\nBUILD_ID=rolling\n", "VERSION_ID"));
}

} // namespace
