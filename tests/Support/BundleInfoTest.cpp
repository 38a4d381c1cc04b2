#include "Support/BundleInfo.h"

#include <gtest/gtest.h>

TEST(BundleInfo, ReadsKeysFromInfoJson)
{
    BundleInfo info;
    QString error;
    ASSERT_TRUE(BundleInfo::fromJson(R"({"CFBundleShortVersionString": "1.2", "CFBundleVersion": "45",
        "LoginHelperBundleID": "com.example.helper", "SoundEnable": true, "CHIP_MODEL": "Model7",
        "Flag": "YES", "Off": "NO", "Count": 3})",
                                     info, &error))
        << error.toStdString();
    EXPECT_EQ(info.shortVersion(), "1.2");
    EXPECT_EQ(info.build(), "45");
    EXPECT_EQ(info.versionWithBuild(), "1.2(45)");
    EXPECT_EQ(info.stringValue("LoginHelperBundleID"), "com.example.helper");
    EXPECT_EQ(info.stringValue("CHIP_MODEL"), "Model7");
    EXPECT_TRUE(info.boolValue("SoundEnable"));
    EXPECT_TRUE(info.boolValue("Flag"));
    EXPECT_FALSE(info.boolValue("Off", true));
    EXPECT_TRUE(info.boolValue("Missing", true));
    EXPECT_EQ(info.value("Count").toInt(), 3);
    EXPECT_FALSE(info.value("Missing").isValid());
    EXPECT_TRUE(info.stringValue("Missing").isEmpty());
}

TEST(BundleInfo, RejectsTextThatIsNotAnObjectAndKeepsTheOldValues)
{
    BundleInfo info;
    ASSERT_TRUE(BundleInfo::fromJson(R"({"CFBundleVersion": "9"})", info));
    for (const char* bad : {"[1, 2]", "{\"a\": ", "", "\"text\""}) {
        QString error;
        EXPECT_FALSE(BundleInfo::fromJson(bad, info, &error)) << bad;
        EXPECT_FALSE(error.isEmpty()) << bad;
    }
    EXPECT_EQ(info.build(), "9");
}

TEST(BundleInfo, MainHasTheBuiltInVersionAndCanBeReplaced)
{
    // This test binary links no Info.json resource: main() falls back to the build's values.
    const BundleInfo& builtIn = BundleInfo::main();
    EXPECT_EQ(builtIn.shortVersion(), PIKORA_TEST_VERSION);
    EXPECT_EQ(builtIn.build(), PIKORA_TEST_BUILD);
    EXPECT_FALSE(builtIn.stringValue("LoginHelperBundleID").isEmpty());
    EXPECT_FALSE(builtIn.stringValue("CHIP_MODEL").isEmpty());
    EXPECT_FALSE(builtIn.boolValue("SoundEnable", true));

    BundleInfo replacement;
    ASSERT_TRUE(BundleInfo::fromJson(R"({"CFBundleShortVersionString": "2.0", "CFBundleVersion": "7"})",
                                     replacement));
    BundleInfo::setMain(replacement);
    EXPECT_EQ(BundleInfo::main().versionWithBuild(), "2.0(7)");
    EXPECT_EQ(builtIn.shortVersion(), PIKORA_TEST_VERSION) << "earlier references stay valid";
}

TEST(BundleInfo, AUserSettingOverridesOneValueAndKeepsTheRest)
{
    BundleInfo shipped;
    ASSERT_TRUE(BundleInfo::fromJson(R"({"CFBundleShortVersionString": "2.1", "SoundEnable": false})", shipped));
    const BundleInfo overridden = shipped.withValue(QStringLiteral("SoundEnable"), true);
    EXPECT_TRUE(overridden.boolValue(QStringLiteral("SoundEnable")));
    EXPECT_FALSE(shipped.boolValue(QStringLiteral("SoundEnable")));
    EXPECT_EQ(overridden.shortVersion(), QStringLiteral("2.1"));
}
