// The capture session's audio side with a recording audio path: when sound is switched on
// and off, and how captured PCM is buffered and handed to the transmitter.
#include "FakeAudioPath.h"
#include "FakeTransmitter.h"
#include "LogCapture.h"
#include "Pikora/Capture/AVSessionUtility.h"
#include "Pikora/Capture/KPDesktopImageProvider.h"
#include "Pikora/Capture/TestPatternFrameSource.h"
#include "Pikora/Compressors/KPh264ImageCompressor.h"
#include "Support/BundleInfo.h"

#include <QLoggingCategory>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace {

void installBundle(const char* json)
{
    BundleInfo info;
    ASSERT_TRUE(BundleInfo::fromJson(json, info));
    BundleInfo::setMain(info);
}

const QStringList kSwitchOn{QStringLiteral("remember defaults"),
                            QStringLiteral("prepare Sonvex com_tamsic_Vistrel"),
                            QStringLiteral("create capture com_tamsic_Vistrel"),
                            QStringLiteral("switch to Sonvex"), QStringLiteral("start capture")};
const QStringList kSwitchOff{QStringLiteral("restore defaults"), QStringLiteral("stop capture"),
                             QStringLiteral("release")};

class AudioForwarding : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QLoggingCategory::setFilterRules(QStringLiteral("pikora.capture.info=true"));
        KPDesktopImageProvider::setCaptureBackend(CaptureBackend::TestPattern);
        TestPatternFrameSource::setDefaultGeometry(QSize(640, 400), 1.0);
        KPh264ImageCompressor::setEncoderCandidates({"libx264"});
        installBundle(R"({"CFBundleShortVersionString": "1.0", "SoundEnable": true})");
        tx = std::make_shared<FakeTransmitter>();
        tx->setConnectedDevice(std::make_shared<FakeReceiverDevice>());
        path = std::make_shared<FakeAudioPath>();
        session = AVSessionUtility::create();
        session->setTransmitterProvider([t = tx] { return t; });
        session->setAudioPath(path);
        session->setDeviceNativeResolution(QSizeF(1280, 720));
    }
    void TearDown() override
    {
        session->stopCapture();
        session.reset();
        installBundle(R"({"CFBundleShortVersionString": "1.0"})");
    }
    void start()
    {
        session->startCapture(AbstractCaptureDevice::mainDisplay(TestPatternFrameSource::kDisplayID), 2, 3);
    }

    std::shared_ptr<FakeTransmitter> tx;
    std::shared_ptr<FakeAudioPath> path;
    std::shared_ptr<AVSessionUtility> session;
};

TEST_F(AudioForwarding, WithoutSoundEnableNothingIsSwitchedWhateverTheLayout)
{
    for (const char* bundle : {R"({"CFBundleShortVersionString": "1.0"})",
                               R"({"CFBundleShortVersionString": "1.0", "SoundEnable": false})"}) {
        installBundle(bundle);
        for (int screens : {1, 2}) {
            tx->split.number = screens;
            start();
            emit tx->screenPositionChanged(screens, 1);
            EXPECT_FALSE(session->audioOn());
            session->stopCapture();
        }
    }
    EXPECT_EQ(path->takeCalls(), QStringList()) << "no device switching at all";
}

TEST_F(AudioForwarding, FullScreenSwitchesToSonvexOnceAndStopPutsEverythingBack)
{
    LogCapture log;
    start();
    EXPECT_TRUE(session->audioOn());
    EXPECT_TRUE(session->isAudioCaptureRunning());
    EXPECT_EQ(session->pendingPcmBytes(), 0);
    EXPECT_EQ(path->takeCalls(), kSwitchOn);

    // Switching on again, or a restart at the same layout, changes nothing.
    session->setAudioOn(true);
    start();
    EXPECT_EQ(path->takeCalls(), QStringList());

    session->stopCapture();
    EXPECT_FALSE(session->audioOn());
    EXPECT_FALSE(session->isAudioCaptureRunning());
    EXPECT_FALSE(session->pendingPcmBytes().has_value());
    EXPECT_EQ(path->takeCalls(), kSwitchOff);
    EXPECT_EQ(log.lines().filter(QStringLiteral("start sending audio")).size(), 1);
    EXPECT_EQ(log.lines().filter(QStringLiteral("stop sending audio")).size(), 1);

    // The capture object is made once, on first use.
    start();
    EXPECT_EQ(path->takeCalls(), (QStringList{kSwitchOn[0], kSwitchOn[1], kSwitchOn[3], kSwitchOn[4]}));
}

TEST_F(AudioForwarding, NoConnectedReceiverLeavesAudioAsItIs)
{
    tx->setConnectedDevice(nullptr);
    start();
    EXPECT_FALSE(session->audioOn());
    EXPECT_EQ(path->takeCalls(), QStringList());
}

TEST_F(AudioForwarding, AudioFollowsTheReceiversLayout)
{
    start();
    path->takeCalls();
    // Layout changes settle before they restart anything: wait for each restart.
    const auto waitForRestart = [this](std::uint64_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (session->layoutRestarts() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return session->layoutRestarts() >= count;
    };
    tx->split.number = 2;
    emit tx->screenPositionChanged(2, 1);
    ASSERT_TRUE(waitForRestart(1));
    EXPECT_FALSE(session->audioOn());
    EXPECT_EQ(path->takeCalls(), kSwitchOff);
    path->deliver(QByteArray(4096, '\1'));
    EXPECT_TRUE(tx->pcmReceived().empty()) << "nothing is forwarded while the screen is shared";

    tx->split.number = 1;
    emit tx->screenPositionChanged(1, 1);
    ASSERT_TRUE(waitForRestart(2));
    EXPECT_TRUE(session->audioOn());
    EXPECT_EQ(path->takeCalls(), (QStringList{kSwitchOn[0], kSwitchOn[1], kSwitchOn[3], kSwitchOn[4]}));
    path->deliver(QByteArray(4096, '\2'));
    EXPECT_EQ(tx->pcmReceived().size(), 1u);
}

TEST_F(AudioForwarding, NotReadyKeepsUpTo22050BytesThenStartsAgainFromEmpty)
{
    start();
    tx->pcmReady = false;
    for (qsizetype expected : {4096, 8192, 12288, 16384, 20480}) {
        path->deliver(QByteArray(4096, 'a'));
        EXPECT_EQ(session->pendingPcmBytes(), expected);
    }
    path->deliver(QByteArray(4096, 'b')); // 24,576 bytes: all dropped
    EXPECT_EQ(session->pendingPcmBytes(), 0);
    EXPECT_TRUE(tx->pcmReceived().empty());

    path->deliver(QByteArray(4096, 'c'));
    EXPECT_EQ(session->pendingPcmBytes(), 4096);
    tx->pcmReady = true;
    path->deliver(QByteArray(4096, 'd'));
    ASSERT_EQ(tx->pcmReceived().size(), 1u);
    EXPECT_EQ(tx->pcmReceived()[0], QByteArray(4096, 'c') + QByteArray(4096, 'd'))
        << "what waited goes first, in one hand-over";
    path->deliver(QByteArray(4096, 'e'));
    ASSERT_EQ(tx->pcmReceived().size(), 2u);
    EXPECT_EQ(tx->pcmReceived()[1], QByteArray(4096, 'e')) << "once ready, the next buffer is sent alone";
    EXPECT_EQ(session->pendingPcmBytes(), 0);

    const AVSessionUtility::Statistics stats = session->statistics();
    EXPECT_EQ(stats.pcmBytesDropped, 24576u);
    EXPECT_EQ(stats.pcmBytesSent, 3u * 4096u);
    EXPECT_EQ(stats.pcmSends, 2u);
}

TEST_F(AudioForwarding, WithoutStatusEveryBufferGoesAsItArrivesAndBadStatusIsIgnored)
{
    start();
    tx->hasStatus = false;
    for (int i = 0; i < 4; ++i)
        path->deliver(QByteArray(1764, char('0' + i)));
    path->deliver(QByteArray(1764, 'x'), -1);
    const std::vector<QByteArray> sent = tx->pcmReceived();
    ASSERT_EQ(sent.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(sent[std::size_t(i)], QByteArray(1764, char('0' + i)));
    EXPECT_EQ(session->pendingPcmBytes(), 0);

    // After the stop, late buffers from the capture thread are dropped.
    session->stopCapture();
    path->deliver(QByteArray(1764, 'z'));
    EXPECT_EQ(tx->pcmReceived().size(), 4u);
}

} // namespace

// A platform path that, like the real one, waits in its destructor for its capture thread,
// which may be handing a period to the session at that moment.
class JoiningAudioPath : public FakeAudioPath
{
public:
    explicit JoiningAudioPath(std::atomic<bool>& timedOut) : m_timedOut(timedOut) {}
    ~JoiningAudioPath() override
    {
        std::packaged_task<void()> task([this] { deliver(QByteArray(4, '\0')); });
        std::future<void> delivered = task.get_future();
        std::thread capture(std::move(task));
        m_timedOut = delivered.wait_for(std::chrono::seconds(3)) != std::future_status::ready;
        capture.join(); // a hang here is the fault this guards against; the wait above names it
    }

private:
    std::atomic<bool>& m_timedOut;
};

TEST_F(AudioForwarding, ReplacingThePathDoesNotHoldTheLockItsCaptureThreadNeeds)
{
    std::atomic<bool> timedOut{false};
    auto joining = std::make_shared<JoiningAudioPath>(timedOut);
    session->setAudioPath(joining);
    start();
    joining->takeCalls();
    joining.reset();
    session->setAudioPath(path); // the session lets go of the joining path here
    EXPECT_FALSE(timedOut) << "the old path was destroyed under the lock its capture thread waits for";
}
