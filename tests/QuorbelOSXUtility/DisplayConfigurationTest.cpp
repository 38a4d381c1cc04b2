#include "QuorbelOSXUtility/DisplayChangeSummary.h"
#include "QuorbelOSXUtility/KPQuartzServiceUtility.h"
#include "QuorbelOSXUtility/RandrMirrorPlan.h"
#include "QuorbelOSXUtility/RandrSnapshot.h"
#include "tests/QuorbelOSXUtility/UsbLogCapture.h"

#include <gtest/gtest.h>

namespace {

using Result = RandrMirrorPlan::Result;
using Config = RandrMirrorPlan::CrtcConfig;

constexpr std::uint32_t kHdmi = 101, kPanel = 102;
constexpr std::uint32_t kCrtcA = 11, kCrtcB = 12, kCrtcC = 13;
constexpr std::uint32_t kMode1080 = 1001, kMode1600 = 1002;

// HDMI-1 (primary, 1920x1080 at the origin) and eDP-1 (2560x1600 to its right), with a third
// CRTC free; every CRTC can drive either output.
RandrSnapshot twoDisplays()
{
    RandrSnapshot s;
    s.modes = {{kMode1080, 1920, 1080}, {kMode1600, 2560, 1600}};
    s.crtcs = {{kCrtcA, QRect(0, 0, 1920, 1080), kMode1080, 1, {kHdmi}, {kHdmi, kPanel}},
               {kCrtcB, QRect(1920, 0, 2560, 1600), kMode1600, 1, {kPanel}, {kHdmi, kPanel}},
               {kCrtcC, QRect(), 0, 1, {}, {kHdmi, kPanel}}};
    RandrSnapshot::Output hdmi;
    hdmi.id = kHdmi;
    hdmi.name = "HDMI-1";
    hdmi.crtc = kCrtcA;
    hdmi.crtcs = {kCrtcA, kCrtcB, kCrtcC};
    hdmi.modes = {kMode1080};
    RandrSnapshot::Output panel = hdmi;
    panel.id = kPanel;
    panel.name = "eDP-1";
    panel.crtc = kCrtcB;
    panel.modes = {kMode1600, kMode1080};
    s.outputs = {hdmi, panel};
    s.primary = kHdmi;
    s.screenSize = QSize(4480, 1600);
    s.screenSizeMax = QSize(8192, 8192);
    return s;
}

// What the server does with a plan.
RandrSnapshot applied(RandrSnapshot s, const RandrMirrorPlan& plan)
{
    if (plan.screenSize.isValid())
        s.screenSize = plan.screenSize;
    for (const Config& change : plan.changes) {
        for (RandrSnapshot::Crtc& crtc : s.crtcs) {
            if (crtc.id != change.crtc)
                continue;
            for (std::uint32_t old : crtc.outputs)
                for (RandrSnapshot::Output& o : s.outputs)
                    if (o.id == old && o.crtc == crtc.id)
                        o.crtc = 0;
            crtc.mode = change.mode;
            crtc.outputs = change.outputs;
            const RandrSnapshot::Mode* mode = s.mode(change.mode);
            crtc.rect = mode ? QRect(change.position, QSize(mode->width, mode->height)) : QRect();
            for (std::uint32_t id : change.outputs)
                for (RandrSnapshot::Output& o : s.outputs)
                    if (o.id == id)
                        o.crtc = crtc.id;
        }
    }
    return s;
}

TEST(DisplayMirroring, MirroringSharesTheMainCrtcAndUnmirroringGivesTheDisplayItsOwnAgain)
{
    const RandrSnapshot before = twoDisplays();
    EXPECT_EQ(before.mainDisplay(), kHdmi);
    EXPECT_EQ(before.mirrorSourceOf(kPanel), 0u);

    const RandrMirrorPlan mirror = RandrMirrorPlan::plan(before, kPanel, true);
    ASSERT_EQ(mirror.result, Result::Changed);
    // Off its own CRTC first, then onto the main display's.
    EXPECT_EQ(mirror.changes,
              (std::vector<Config>{{kCrtcB, {}, 0, 1, {}}, {kCrtcA, {0, 0}, kMode1080, 1, {kHdmi, kPanel}}}));
    EXPECT_FALSE(mirror.screenSize.isValid());

    RandrSnapshot mirrored = applied(before, mirror);
    EXPECT_EQ(mirrored.mirrorSourceOf(kPanel), kHdmi);
    EXPECT_EQ(mirrored.mirrorSourceOf(kHdmi), 0u);
    EXPECT_EQ(mirrored.activeDisplays(), (std::vector<std::uint32_t>{kHdmi, kPanel}));
    EXPECT_EQ(displayChangeSummaryFlagNames(displayChangeSummaryFlags(before, mirrored, kPanel)),
              (QStringList{"kCGDisplayMovedFlag", "kCGDisplaySetModeFlag", "kCGDisplayMirrorFlag"}));
    EXPECT_EQ(displayChangeSummaryFlags(before, mirrored, kHdmi), 0u);

    const RandrMirrorPlan again = RandrMirrorPlan::plan(mirrored, kPanel, true);
    EXPECT_EQ(again.result, Result::AlreadyMirrored);
    EXPECT_TRUE(again.changes.empty());

    // The desktop shrank to the main display meanwhile: unmirroring grows it again.
    mirrored.screenSize = QSize(1920, 1080);
    const RandrMirrorPlan unmirror = RandrMirrorPlan::plan(mirrored, kPanel, false);
    ASSERT_EQ(unmirror.result, Result::Changed);
    EXPECT_EQ(unmirror.changes, (std::vector<Config>{{kCrtcA, {0, 0}, kMode1080, 1, {kHdmi}},
                                                     {kCrtcB, {1920, 0}, kMode1600, 1, {kPanel}}}));
    EXPECT_EQ(unmirror.screenSize, QSize(4480, 1600));
    const RandrSnapshot after = applied(mirrored, unmirror);
    EXPECT_EQ(after.mirrorSourceOf(kPanel), 0u);
    EXPECT_EQ(after.boundsOf(kPanel), QRect(1920, 0, 2560, 1600));
    EXPECT_TRUE(displayChangeSummaryFlags(mirrored, after, kPanel) & kCGDisplayUnMirrorFlag);
    EXPECT_TRUE(displayChangeSummaryFlags(mirrored, after, kPanel) & kCGDisplayDesktopShapeChangedFlag);

    mirrored.screenSizeMax = QSize(4096, 4096);
    EXPECT_EQ(RandrMirrorPlan::plan(mirrored, kPanel, false).result, Result::ScreenTooSmall);
    EXPECT_TRUE(RandrMirrorPlan::plan(mirrored, kPanel, false).changes.empty());
}

TEST(DisplayMirroring, ImpossibleRequestsChangeNothingAndSayWhy)
{
    const RandrSnapshot s = twoDisplays();
    EXPECT_EQ(RandrMirrorPlan::plan(s, kHdmi, true).result, Result::MainDisplay);
    EXPECT_EQ(RandrMirrorPlan::plan(s, 999, true).result, Result::NoSuchDisplay);
    EXPECT_EQ(RandrMirrorPlan::plan(s, kPanel, false).result, Result::NotMirrored);

    RandrSnapshot unplugged = s;
    unplugged.outputs[1].connected = false;
    EXPECT_EQ(RandrMirrorPlan::plan(unplugged, kPanel, true).result, Result::NoSuchDisplay);

    RandrSnapshot noCommonMode = s;
    noCommonMode.outputs[1].modes = {kMode1600};
    EXPECT_EQ(RandrMirrorPlan::plan(noCommonMode, kPanel, true).result, Result::NoCommonMode);

    RandrSnapshot separateCrtcs = s;
    separateCrtcs.crtcs[0].possible = {kHdmi};
    EXPECT_EQ(RandrMirrorPlan::plan(separateCrtcs, kPanel, true).result, Result::NoSharedCrtc);

    // Shared CRTC and no other CRTC to take the display: it stays mirrored.
    RandrSnapshot shared = applied(s, RandrMirrorPlan::plan(s, kPanel, true));
    shared.crtcs[1].possible = {kHdmi};
    shared.crtcs[2].possible = {kHdmi};
    EXPECT_EQ(RandrMirrorPlan::plan(shared, kPanel, false).result, Result::NoFreeCrtc);
    for (Result r : {Result::Changed, Result::NoFreeCrtc, Result::ServerRefused, Result::NoServer})
        EXPECT_FALSE(RandrMirrorPlan::toString(r).isEmpty());
}

TEST(DisplayMirroring, SeparateCrtcsOverTheSameAreaMirrorAndUnmirrorByMoving)
{
    RandrSnapshot s = twoDisplays();
    s.crtcs[1].rect = QRect(0, 0, 1920, 1080);
    s.crtcs[1].mode = kMode1080;
    s.screenSize = QSize(1920, 1080);
    EXPECT_EQ(s.mirrorSourceOf(kPanel), kHdmi);
    EXPECT_EQ(s.mirrorSourceOf(kHdmi), 0u);
    const RandrMirrorPlan unmirror = RandrMirrorPlan::plan(s, kPanel, false);
    ASSERT_EQ(unmirror.result, Result::Changed);
    EXPECT_EQ(unmirror.changes, (std::vector<Config>{{kCrtcB, {1920, 0}, kMode1080, 1, {kPanel}}}));
    EXPECT_EQ(unmirror.screenSize, QSize(3840, 1080));
}

TEST(DisplayList, MainDisplayIsPrimaryThenOriginThenFirstAndTheListIsCapped)
{
    RandrSnapshot s = twoDisplays();
    s.primary = 0;
    EXPECT_EQ(s.mainDisplay(), kHdmi); // at the origin
    s.crtcs[0].rect.moveTo(2560, 0);
    s.crtcs[1].rect.moveTo(0, 0);
    EXPECT_EQ(s.mainDisplay(), kPanel);
    s.primary = kHdmi;
    EXPECT_EQ(s.mainDisplay(), kHdmi);
    // A primary output that shows nothing does not count.
    s.crtcs[0].outputs.clear();
    s.outputs[0].crtc = 0;
    EXPECT_EQ(s.mainDisplay(), kPanel);
    EXPECT_EQ(s.activeDisplays(), std::vector<std::uint32_t>{kPanel});
    EXPECT_EQ(RandrSnapshot().mainDisplay(), 0u);

    RandrSnapshot many;
    many.modes = {{1, 10, 10}};
    for (std::uint32_t i = 1; i <= 40; ++i) {
        many.crtcs.push_back({1000 + i, QRect(int(i) * 10, 0, 10, 10), 1, 1, {i}, {i}});
        RandrSnapshot::Output o;
        o.id = i;
        o.crtc = 1000 + i;
        many.outputs.push_back(o);
    }
    const std::vector<std::uint32_t> active = many.activeDisplays(KPQuartzServiceUtility::kMaxDisplays);
    ASSERT_EQ(active.size(), 32u);
    EXPECT_EQ(active.front(), 1u);
    EXPECT_EQ(active.back(), 32u);
}

TEST(DisplayChangeSummary, FlagsAreNamedInOrderAndFollowTheConfiguration)
{
    EXPECT_EQ(displayChangeSummaryFlagNames(0x1000 | 0x400 | 0x20 | 0x40 | 0x1),
              (QStringList{"kCGDisplayBeginConfigurationFlag", "kCGDisplayRemoveFlag", "kCGDisplayMirrorFlag",
                           "kCGDisplayDesktopShapeChangedFlag"}));
    UsbLogCapture log;
    KPQuartzServiceUtility::showCGDisplayChangeSummaryFlags(0xFFFFFFFF);
    const QStringList lines = log.linesContaining("kCGDisplay");
    ASSERT_EQ(lines.size(), 11);
    EXPECT_EQ(lines.front(), "kCGDisplayBeginConfigurationFlag");
    EXPECT_EQ(lines[4], "kCGDisplayAddFlag");
    EXPECT_EQ(lines.back(), "kCGDisplayDesktopShapeChangedFlag");

    const RandrSnapshot both = twoDisplays();
    RandrSnapshot panelOff = both;
    panelOff.crtcs[1] = {kCrtcB, QRect(), 0, 1, {}, {kHdmi, kPanel}};
    panelOff.outputs[1].crtc = 0;
    panelOff.primary = kPanel; // primary, but showing nothing
    EXPECT_EQ(displayChangeSummaryFlags(both, panelOff, kPanel), kCGDisplayDisabledFlag);
    EXPECT_EQ(displayChangeSummaryFlags(panelOff, both, kPanel), kCGDisplayEnabledFlag);
    RandrSnapshot unplugged = panelOff;
    unplugged.outputs[1].connected = false;
    EXPECT_EQ(displayChangeSummaryFlags(panelOff, unplugged, kPanel), kCGDisplayRemoveFlag);
    EXPECT_EQ(displayChangeSummaryFlags(unplugged, panelOff, kPanel), kCGDisplayAddFlag);

    RandrSnapshot newMain = both;
    newMain.primary = kPanel;
    EXPECT_EQ(displayChangeSummaryFlags(both, newMain, kPanel), kCGDisplaySetMainFlag);
    EXPECT_EQ(displayChangeSummaryFlags(both, newMain, kHdmi), kCGDisplaySetMainFlag);
}

QByteArray edid(std::initializer_list<QByteArray> names)
{
    QByteArray e(128, '\0');
    const unsigned char header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    for (int i = 0; i < 8; ++i)
        e[i] = char(header[i]);
    e[8] = char(0x10); // "DEL"
    e[9] = char(0xAC);
    e[10] = char(0x34); // product code 0x1234, little-endian
    e[11] = char(0x12);
    int offset = 72;
    for (const QByteArray& name : names) {
        e[offset + 3] = char(0xFC);
        for (int i = 0; i < 13; ++i)
            e[offset + 5 + i] = i < name.size() ? name[i] : (i == name.size() ? '\n' : ' ');
        offset += 18;
    }
    return e;
}

TEST(DisplayInfo, OneLineWithEdidNumbersAndTheFirstMonitorName)
{
    // A monitor that names itself more than once: the first name counts.
    EXPECT_EQ(KPQuartzServiceUtility::screenNameFromEdid(edid({"DELL U2720Q", "DELL U2720Q X"})),
              QStringLiteral("DELL U2720Q"));

    RandrSnapshot s = twoDisplays();
    s.openGL = true;
    s.outputs[1].edid = edid({"Panel"});
    s.outputs[1].mmWidth = 344;
    s.outputs[1].mmHeight = 215;
    EXPECT_EQ(
        KPQuartzServiceUtility::infoForDisplay(s, kPanel),
        "[Drovane] display(102), mode count:2, isMainDisplay:0, in mirror: 0, isBuiltIn:1, pixelsWide:2560, "
        "pixelsHigh:1600, screensize:{344, 215}, CGDisplayUsesOpenGLAcceleration:1, "
        "CGDisplayVendorNumber:4268, CGDisplayModelNumber:4660, screen name:Panel");
    const RandrSnapshot mirrored = applied(s, RandrMirrorPlan::plan(s, kPanel, true));
    EXPECT_TRUE(KPQuartzServiceUtility::infoForDisplay(mirrored, kPanel).contains("in mirror: 101,"));
    EXPECT_TRUE(KPQuartzServiceUtility::infoForDisplay(s, kHdmi).contains(
        "isMainDisplay:1, in mirror: 0, isBuiltIn:0"));
    EXPECT_EQ(KPQuartzServiceUtility::infoForDisplay(RandrSnapshot(), 7),
              "[Drovane] display(7), mode count:0, isMainDisplay:0, in mirror: 0, isBuiltIn:0, pixelsWide:0, "
              "pixelsHigh:0, screensize:{0, 0}, CGDisplayUsesOpenGLAcceleration:0, CGDisplayVendorNumber:0, "
              "CGDisplayModelNumber:0, screen name:(null)");
}

} // namespace
