#include "Pikora/Platform/XTestPointerInjector.h"
#include "tests/TestSupport/FakePointerInjector.h"

#include <QProcess>
#include <QTest>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <xcb/xcb.h>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const QSize kScreen(1280, 800);

TEST(PointerInjector, ClampsPointsToTheScreenAndRejectsNonFiniteOnes)
{
    EXPECT_EQ(PointerInjector::clampToScreen({100.4, 200.6}, kScreen), QPoint(100, 201));
    EXPECT_EQ(PointerInjector::clampToScreen({1e12, -1e12}, kScreen), QPoint(1279, 0));
    // A touch at the far corner of the receiver's frame lands on the last pixel.
    EXPECT_EQ(PointerInjector::clampToScreen({1280, 800}, kScreen), QPoint(1279, 799));
    EXPECT_FALSE(PointerInjector::clampToScreen({kNaN, 1}, kScreen));
    EXPECT_FALSE(PointerInjector::clampToScreen({1, kInf}, kScreen));
    EXPECT_FALSE(PointerInjector::clampToScreen({1, 1}, QSize()));

    EXPECT_EQ(PointerInjector::clampDelta(-5.5, 7, kScreen), QPointF(-5.5, 7));
    EXPECT_EQ(PointerInjector::clampDelta(1e9, -1e9, kScreen), QPointF(1280, -800));
    EXPECT_FALSE(PointerInjector::clampDelta(kNaN, 0, kScreen));
    EXPECT_FALSE(PointerInjector::clampDelta(0, -kInf, kScreen));
}

TEST(FakePointerInjector, RecordsWhatWasAskedAndRefusesNonFiniteCoordinates)
{
    FakePointerInjector fake;
    EXPECT_TRUE(fake.postLeftMouseDown({1440, 900}));
    EXPECT_TRUE(fake.postRelativeLeftMouseDrag(3, -4));
    EXPECT_TRUE(fake.postLeftMouseUpOnCurrentPoint());
    EXPECT_FALSE(fake.postRelativeMouseMove(kNaN, 0));
    EXPECT_FALSE(fake.postLeftMouseDrag({0, kInf}));
    using K = FakePointerInjector::Kind;
    EXPECT_EQ(fake.events(), (QList<FakePointerInjector::Event>{{K::LeftDown, {1440, 900}},
                                                                {K::RelativeLeftDrag, {3, -4}},
                                                                {K::LeftUpOnCurrentPoint, {}}}));
    fake.setAvailable(false);
    EXPECT_FALSE(fake.postRightMouseDownOnCurrentPoint());
}

TEST(XTestPointerInjector, FailsCleanlyWithoutADisplay)
{
    XTestPointerInjector injector(":32761"); // no server there
    EXPECT_FALSE(injector.isAvailable());
    EXPECT_FALSE(injector.postRelativeMouseMove(1, 1));
    EXPECT_FALSE(injector.postLeftMouseDown({10, 10}));
    EXPECT_FALSE(injector.postRightMouseUpOnCurrentPoint());
    EXPECT_FALSE(injector.pointerPosition());
    EXPECT_TRUE(injector.screenSize().isEmpty());
}

// An Xvfb server of the test's own on a display number the server picks itself, so tests
// running side by side do not collide.
class XvfbServer
{
public:
    XvfbServer()
    {
        m_process.setProgram(QStringLiteral(PIKORA_TEST_XVFB));
        m_process.setArguments(
            {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"});
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return;
        QByteArray out;
        while (!out.contains('\n') && m_process.waitForReadyRead(10000))
            out += m_process.readAllStandardOutput();
        bool ok = false;
        const int number = out.trimmed().toInt(&ok);
        if (ok)
            m_display = QStringLiteral(":%1").arg(number);
    }

    ~XvfbServer()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    const QString& display() const { return m_display; }

private:
    QProcess m_process;
    QString m_display;
};

// An independent view of the server's pointer.
struct PointerObserver
{
    struct Disconnect
    {
        void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
    };
    std::unique_ptr<xcb_connection_t, Disconnect> connection;
    xcb_window_t root = 0;

    explicit PointerObserver(const QString& display)
        : connection(xcb_connect(display.toLocal8Bit().constData(), nullptr))
    {
        if (!xcb_connection_has_error(connection.get()))
            root = xcb_setup_roots_iterator(xcb_get_setup(connection.get())).data->root;
    }

    struct State
    {
        QPoint position;
        bool left = false;
        bool right = false;
    };

    State state()
    {
        std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)> reply(
            xcb_query_pointer_reply(connection.get(), xcb_query_pointer(connection.get(), root), nullptr),
            &std::free);
        if (!reply)
            return {};
        return {QPoint(reply->root_x, reply->root_y), (reply->mask & XCB_BUTTON_MASK_1) != 0,
                (reply->mask & XCB_BUTTON_MASK_3) != 0};
    }
};

class XTestPointerInjectorOnXvfb : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { server = new XvfbServer; }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }

    void SetUp() override
    {
        ASSERT_FALSE(server->display().isEmpty()) << "Xvfb did not start";
        injector = std::make_unique<XTestPointerInjector>(server->display());
        observer = std::make_unique<PointerObserver>(server->display());
        ASSERT_TRUE(injector->isAvailable());
        ASSERT_NE(observer->root, 0u);
        // Every test starts from a known spot with no button held.
        injector->postLeftMouseUpOnCurrentPoint();
        injector->postRightMouseUpOnCurrentPoint();
        ASSERT_TRUE(injector->postLeftMouseDrag({400, 300}));
        injector->postLeftMouseUpOnCurrentPoint();
    }

    static XvfbServer* server;
    std::unique_ptr<XTestPointerInjector> injector;
    std::unique_ptr<PointerObserver> observer;
};

XvfbServer* XTestPointerInjectorOnXvfb::server = nullptr;

TEST_F(XTestPointerInjectorOnXvfb, RelativeMovesMoveThePointerByTheDelta)
{
    EXPECT_EQ(injector->screenSize(), kScreen);
    ASSERT_EQ(observer->state().position, QPoint(400, 300));

    ASSERT_TRUE(injector->postRelativeMouseMove(30, -20));
    EXPECT_EQ(observer->state().position, QPoint(430, 280));
    EXPECT_EQ(injector->pointerPosition(), QPoint(430, 280));

    // Halves add up instead of being lost.
    ASSERT_TRUE(injector->postRelativeMouseMove(0.5, -0.5));
    ASSERT_TRUE(injector->postRelativeMouseMove(0.5, -0.5));
    EXPECT_EQ(observer->state().position, QPoint(431, 279));

    // The server stops the pointer at the edge; a huge delta is no error.
    ASSERT_TRUE(injector->postRelativeMouseMove(-1e9, 1e9));
    EXPECT_EQ(observer->state().position, QPoint(0, 799));
}

TEST_F(XTestPointerInjectorOnXvfb, AbsoluteDownMovesToThePointAndHoldsTheLeftButton)
{
    ASSERT_TRUE(injector->postLeftMouseDown({100, 200}));
    auto state = observer->state();
    EXPECT_EQ(state.position, QPoint(100, 200));
    EXPECT_TRUE(state.left);

    ASSERT_TRUE(injector->postRelativeLeftMouseDrag(5, 6));
    state = observer->state();
    EXPECT_EQ(state.position, QPoint(105, 206));
    EXPECT_TRUE(state.left);

    ASSERT_TRUE(injector->postLeftMouseDrag({640.4, 399.6}));
    EXPECT_EQ(observer->state().position, QPoint(640, 400));

    ASSERT_TRUE(injector->postLeftMouseUpOnCurrentPoint());
    state = observer->state();
    EXPECT_FALSE(state.left);
    EXPECT_EQ(state.position, QPoint(640, 400));
}

TEST_F(XTestPointerInjectorOnXvfb, RightButtonPressesAtTheCurrentPoint)
{
    ASSERT_TRUE(injector->postRightMouseDownOnCurrentPoint());
    auto state = observer->state();
    EXPECT_TRUE(state.right);
    EXPECT_FALSE(state.left);
    EXPECT_EQ(state.position, QPoint(400, 300));
    ASSERT_TRUE(injector->postRightMouseUpOnCurrentPoint());
    EXPECT_FALSE(observer->state().right);
}

TEST_F(XTestPointerInjectorOnXvfb, OffScreenPointsAreClampedAndNonFiniteOnesChangeNothing)
{
    ASSERT_TRUE(injector->postLeftMouseDown({1e12, 1e12}));
    EXPECT_EQ(observer->state().position, QPoint(1279, 799));
    injector->postLeftMouseUpOnCurrentPoint();

    EXPECT_FALSE(injector->postLeftMouseDown({kNaN, 10}));
    EXPECT_FALSE(injector->postRelativeMouseMove(kInf, 0));
    EXPECT_FALSE(injector->postLeftMouseDrag({0, -kInf}));
    const auto state = observer->state();
    EXPECT_EQ(state.position, QPoint(1279, 799));
    EXPECT_FALSE(state.left) << "a refused down must not press the button";
}

} // namespace
