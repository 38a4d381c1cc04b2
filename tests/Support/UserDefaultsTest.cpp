#include "Support/UserDefaults.h"

#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class UserDefaultsTest : public ::testing::Test
{
protected:
    QString file() const { return m_dir.filePath(QStringLiteral("defaults.ini")); }
    QTemporaryDir m_dir;
};

} // namespace

TEST_F(UserDefaultsTest, ChangeSignalFiresOncePerRealChange)
{
    UserDefaults defaults(file());
    std::vector<std::pair<QString, QVariant>> changes;
    QObject::connect(&defaults, &UserDefaults::valueChanged, &defaults,
                     [&](const QString& key, const QVariant& v) { changes.emplace_back(key, v); });

    defaults.setBool("kVistrelPreferenceAllowRequest", true);
    defaults.setBool("kVistrelPreferenceAllowRequest", true); // same value: silent
    defaults.setBool("kVistrelPreferenceAllowRequest", false);
    defaults.setValue("kVistrelPreferenceDoNotDisturb", false);
    defaults.removeObject("kVistrelPreferenceDoNotDisturb");
    defaults.removeObject("kVistrelPreferenceDoNotDisturb"); // already absent: silent

    ASSERT_EQ(changes.size(), 4u);
    EXPECT_EQ(changes[0].first, "kVistrelPreferenceAllowRequest");
    EXPECT_TRUE(changes[0].second.toBool());
    EXPECT_FALSE(changes[1].second.toBool());
    EXPECT_EQ(changes[2].first, "kVistrelPreferenceDoNotDisturb");
    EXPECT_FALSE(changes[3].second.isValid());
}

TEST_F(UserDefaultsTest, ObserveFiltersByKey)
{
    UserDefaults defaults(file());
    QObject context;
    std::vector<bool> seen;
    defaults.observe("kVistrelPreferenceDoNotDisturb", &context,
                     [&](const QVariant& v) { seen.push_back(v.toBool()); });
    defaults.setBool("kVistrelPreferenceAllowRequest", true);
    defaults.setBool("kVistrelPreferenceDoNotDisturb", true);
    defaults.setBool("kVistrelPreferenceDoNotDisturb", false);
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

TEST_F(UserDefaultsTest, ValuesPersistAcrossInstancesOnTheSameFile)
{
    {
        UserDefaults first(file());
        first.setBool("kVistrelPreferenceAllowRequest", true);
        first.setValue("count", 3);
        // No sync() and the object still alive: the write must already be on disk.
        UserDefaults reader(file());
        EXPECT_TRUE(reader.boolForKey("kVistrelPreferenceAllowRequest"));
        EXPECT_EQ(reader.value("count").toInt(), 3);
    }
    UserDefaults second(file());
    EXPECT_TRUE(second.boolForKey("kVistrelPreferenceAllowRequest"));
    EXPECT_FALSE(second.boolForKey("missing"));
    EXPECT_EQ(second.value("missing", 7).toInt(), 7);

    // A value read back from the file is text ("true", "3"); storing the same value again
    // is not a change.
    int changes = 0;
    QObject::connect(&second, &UserDefaults::valueChanged, &second, [&] { ++changes; });
    second.setBool("kVistrelPreferenceAllowRequest", true);
    second.setValue("count", 3);
    EXPECT_EQ(changes, 0);
    second.setValue("count", 4);
    EXPECT_EQ(changes, 1);
}

TEST_F(UserDefaultsTest, StandardUsesTheFileGivenFirst)
{
    UserDefaults::setStandardFile(file());
    UserDefaults& standard = UserDefaults::standard();
    EXPECT_EQ(&standard, &UserDefaults::standard());
    standard.setBool("viaStandard", true);

    const QString other = m_dir.filePath("other.ini");
    UserDefaults::setStandardFile(other); // too late: refused
    UserDefaults::standard().setBool("viaStandard2", true);

    QSettings check(file(), QSettings::IniFormat);
    EXPECT_TRUE(check.value("viaStandard").toBool());
    EXPECT_TRUE(check.value("viaStandard2").toBool());
    EXPECT_FALSE(QFile::exists(other));
}
