#include "QuorbelOSXUtility/DisplayChangeSummary.h"
#include "QuorbelOSXUtility/DisplayReconfigurationWatcher.h"
#include "QuorbelOSXUtility/KPQuartzServiceUtility.h"
#include "tests/Capture/XvfbServer.h"
#include "tests/QuorbelOSXUtility/UsbLogCapture.h"

#include <QSignalSpy>
#include <gtest/gtest.h>
#include <memory>
#include <xcb/randr.h>
#include <xcb/xcb.h>

namespace {

using Result = RandrMirrorPlan::Result;

QByteArray edidNamed(const QByteArray& name)
{
    QByteArray e(128, '\0');
    const unsigned char header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    for (int i = 0; i < 8; ++i)
        e[i] = char(header[i]);
    e[8] = char(0x41); // "PKR"
    e[9] = char(0x72);
    e[10] = char(0x01);
    e[11] = char(0x02);
    e[72 + 3] = char(0xFC);
    for (int i = 0; i < 13; ++i)
        e[72 + 5 + i] = i < name.size() ? name[i] : (i == name.size() ? '\n' : ' ');
    return e;
}

// Gives the output an EDID property, as a monitor's driver would.
bool setEdid(const QByteArray& display, std::uint32_t output, const QByteArray& edid)
{
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> c(
        xcb_connect(display.constData(), nullptr), xcb_disconnect);
    if (xcb_connection_has_error(c.get()))
        return false;
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(c.get(), xcb_intern_atom(c.get(), 0, 4, "EDID"), nullptr);
    if (!atom)
        return false;
    const xcb_atom_t edidAtom = atom->atom;
    std::free(atom);
    xcb_generic_error_t* error =
        xcb_request_check(c.get(), xcb_randr_change_output_property_checked(
                                       c.get(), output, edidAtom, XCB_ATOM_INTEGER, 8, XCB_PROP_MODE_REPLACE,
                                       std::uint32_t(edid.size()), edid.constData()));
    std::free(error);
    return error == nullptr;
}

// Drives a CRTC directly, as another client (a display settings tool) would.
bool setCrtc(const QByteArray& display, std::uint32_t crtc, std::uint32_t mode,
             std::vector<std::uint32_t> outputs)
{
    const std::optional<RandrSnapshot> s = KPQuartzServiceUtility::snapshot(display);
    if (!s)
        return false;
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> c(
        xcb_connect(display.constData(), nullptr), xcb_disconnect);
    xcb_randr_set_crtc_config_reply_t* reply = xcb_randr_set_crtc_config_reply(
        c.get(),
        xcb_randr_set_crtc_config(c.get(), crtc, XCB_CURRENT_TIME, s->configTimestamp, 0, 0, mode,
                                  XCB_RANDR_ROTATION_ROTATE_0, std::uint32_t(outputs.size()), outputs.data()),
        nullptr);
    const bool ok = reply && reply->status == XCB_RANDR_SET_CONFIG_SUCCESS;
    std::free(reply);
    return ok;
}

class RandrOnXvfb : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!XvfbServer::available())
            GTEST_SKIP() << "Xvfb is not installed";
        server = std::make_unique<XvfbServer>(QSize(800, 600));
        ASSERT_TRUE(server->running());
    }
    std::unique_ptr<XvfbServer> server;
};

TEST_F(RandrOnXvfb, ListsTheServersOutputAndDescribesIt)
{
    const QByteArray& x = server->display();
    const std::vector<std::uint32_t> displays = KPQuartzServiceUtility::getCGDirectDisplays(x);
    ASSERT_EQ(displays.size(), 1u);
    const std::uint32_t id = displays[0];
    const auto active = KPQuartzServiceUtility::activeDisplays(x);
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].id, id);
    EXPECT_EQ(active[0].bounds, QRect(0, 0, 800, 600));
    EXPECT_TRUE(active[0].main);
    EXPECT_FALSE(active[0].outputName.isEmpty());

    EXPECT_FALSE(KPQuartzServiceUtility::screenNameForDisplay(id, x));
    ASSERT_TRUE(setEdid(x, id, edidNamed("PIKORA TEST")));
    EXPECT_EQ(KPQuartzServiceUtility::screenNameForDisplay(id, x), QStringLiteral("PIKORA TEST"));

    const std::optional<RandrSnapshot> s = KPQuartzServiceUtility::snapshot(x);
    ASSERT_TRUE(s);
    const QString info = KPQuartzServiceUtility::getInfoForDisplay(id, x);
    EXPECT_EQ(info, QStringLiteral(
                        "[Drovane] display(%1), mode count:%2, isMainDisplay:1, in mirror: 0, isBuiltIn:0, "
                        "pixelsWide:800, pixelsHigh:600, screensize:{0, 0}, "
                        "CGDisplayUsesOpenGLAcceleration:%3, CGDisplayVendorNumber:16754, "
                        "CGDisplayModelNumber:513, screen name:PIKORA TEST")
                        .arg(id)
                        .arg(s->output(id)->modes.size())
                        .arg(s->openGL ? 1 : 0));
    UsbLogCapture log;
    KPQuartzServiceUtility::showInfoForDisplay(id, x);
    EXPECT_EQ(log.linesContaining("[Drovane] display(").size(), 1);
}

TEST_F(RandrOnXvfb, MirroringTheOnlyDisplayFailsClearlyAndChangesNothing)
{
    const QByteArray& x = server->display();
    const std::vector<std::uint32_t> displays = KPQuartzServiceUtility::getCGDirectDisplays(x);
    ASSERT_EQ(displays.size(), 1u);
    const std::uint32_t id = displays[0];
    UsbLogCapture log;

    EXPECT_FALSE(KPQuartzServiceUtility::isDisplayMirrorMode(0, x));
    EXPECT_EQ(log.linesContaining("display is zero, won't query mirrir/extension status").size(), 1);
    EXPECT_FALSE(KPQuartzServiceUtility::isDisplayMirrorMode(id, x));

    EXPECT_EQ(KPQuartzServiceUtility::setDisplay(id, true, x), Result::MainDisplay);
    EXPECT_EQ(log.linesContaining("cannot mirror display(").size(), 1);
    EXPECT_EQ(KPQuartzServiceUtility::setDisplay(id, false, x), Result::NotMirrored);
    EXPECT_EQ(
        log.linesContaining(QStringLiteral("The display(%1) is not in mirror mode, no need to remove from "
                                           "mirror set")
                                .arg(id))
            .size(),
        1);
    EXPECT_EQ(KPQuartzServiceUtility::setDisplay(id + 1000, true, x), Result::NoSuchDisplay);
    EXPECT_EQ(KPQuartzServiceUtility::activeDisplays(x).at(0).bounds, QRect(0, 0, 800, 600));
}

TEST_F(RandrOnXvfb, WatcherReportsADisplayTurnedOffAndOnAgain)
{
    const QByteArray& x = server->display();
    const std::optional<RandrSnapshot> s = KPQuartzServiceUtility::snapshot(x);
    ASSERT_TRUE(s);
    const std::vector<std::uint32_t> displays = s->activeDisplays();
    ASSERT_EQ(displays.size(), 1u);
    const std::uint32_t id = displays[0];
    const std::uint32_t crtc = s->output(id)->crtc;
    const std::uint32_t mode = s->crtc(crtc)->mode;

    DisplayReconfigurationWatcher watcher(x);
    ASSERT_TRUE(watcher.isWatching());
    QSignalSpy changes(&watcher, &DisplayReconfigurationWatcher::displayChanged);

    ASSERT_TRUE(setCrtc(x, crtc, 0, {}));
    ASSERT_TRUE(changes.wait(10000));
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes[0][0].value<std::uint32_t>(), id);
    // It was the main display, and now there is none.
    EXPECT_EQ(displayChangeSummaryFlagNames(changes[0][1].value<std::uint32_t>()),
              (QStringList{"kCGDisplaySetMainFlag", "kCGDisplayDisabledFlag"}));
    EXPECT_TRUE(KPQuartzServiceUtility::getCGDirectDisplays(x).empty());

    ASSERT_TRUE(setCrtc(x, crtc, mode, {id}));
    ASSERT_TRUE(changes.wait(10000));
    ASSERT_EQ(changes.size(), 2);
    EXPECT_EQ(changes[1][1].value<std::uint32_t>(),
              std::uint32_t(kCGDisplaySetMainFlag | kCGDisplayEnabledFlag));
    EXPECT_EQ(KPQuartzServiceUtility::getCGDirectDisplays(x), std::vector<std::uint32_t>{id});
}

TEST(RandrWithoutServer, EverythingAnswersEmpty)
{
    const QByteArray x(":4093");
    EXPECT_TRUE(KPQuartzServiceUtility::getCGDirectDisplays(x).empty());
    EXPECT_FALSE(KPQuartzServiceUtility::snapshot(x));
    EXPECT_FALSE(KPQuartzServiceUtility::isDisplayMirrorMode(1, x));
    EXPECT_EQ(KPQuartzServiceUtility::setDisplay(1, true, x), Result::NoServer);
    EXPECT_TRUE(KPQuartzServiceUtility::getInfoForDisplay(1, x).endsWith("screen name:(null)"));
    EXPECT_FALSE(DisplayReconfigurationWatcher(x).isWatching());
}

} // namespace
