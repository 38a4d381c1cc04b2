// Audio forwarding on a private sound server with the real audio path: the machine's sound
// reaches the transmitter while the receiver shows this sender alone, the defaults are the
// Sonvex device meanwhile, and everything is put back afterwards.
#include "FakeTransmitter.h"
#include "PcmAnalysis.h"
#include "Pikora/Capture/AVSessionUtility.h"
#include "Pikora/Capture/HearlineAudioPath.h"
#include "Pikora/Capture/KPDesktopImageProvider.h"
#include "Pikora/Capture/TestPatternFrameSource.h"
#include "Pikora/Compressors/KPh264ImageCompressor.h"
#include "QuorbelOSXUtility/CoreAudioUtility.h"
#include "SoundServerEnvironment.h"
#include "Support/BundleInfo.h"

#include <QFile>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

static auto* const soundServer = SoundServerEnvironment::install();

const QString kSonvexSink = QStringLiteral("com_tamsic_Vistrel_Sonvex");

QByteArray lastSecond(const std::vector<QByteArray>& sends)
{
    QByteArray all;
    for (const QByteArray& b : sends)
        all.append(b);
    return all.right(176400);
}

TEST(AudioForwardingSound, ToneReachesTheTransmitterWhileFullScreenAndDevicesComeBack)
{
    PrivateSoundServer& server = SoundServerEnvironment::server();
    CoreAudioUtility::setStateFile(server.workDirectory() + QStringLiteral("/state/forwarding.json"));
    BundleInfo bundle;
    ASSERT_TRUE(
        BundleInfo::fromJson(R"({"CFBundleShortVersionString": "1.0", "SoundEnable": true})", bundle));
    BundleInfo::setMain(bundle);
    KPDesktopImageProvider::setCaptureBackend(CaptureBackend::TestPattern);
    TestPatternFrameSource::setDefaultGeometry(QSize(640, 400), 1.0);
    KPh264ImageCompressor::setEncoderCandidates({"libx264"});

    auto tx = std::make_shared<FakeTransmitter>();
    tx->setConnectedDevice(std::make_shared<FakeReceiverDevice>());
    auto session = AVSessionUtility::create();
    session->setTransmitterProvider([tx] { return tx; });
    session->setAudioPath(std::make_shared<HearlineAudioPath>());
    session->setDeviceNativeResolution(QSizeF(1280, 720));

    session->startCapture(AbstractCaptureDevice::mainDisplay(TestPatternFrameSource::kDisplayID), 2, 3);
    ASSERT_TRUE(session->audioOn());
    EXPECT_EQ(server.defaultSink(), kSonvexSink);
    EXPECT_EQ(server.defaultSource(), kSonvexSink + QStringLiteral(".monitor"));
    EXPECT_TRUE(QFile::exists(CoreAudioUtility::stateFile()))
        << "the user's devices are on disk while switched";

    // Whatever plays to the default output now reaches the receiver.
    const pid_t player = server.playTone(440, 30);
    ASSERT_GT(player, 0);
    ASSERT_TRUE(tx->waitForPcmBytes(3 * 176400, 20s)) << "got " << tx->pcmBytes();
    for (const QByteArray& b : tx->pcmReceived())
        ASSERT_EQ(b.size() % 4, 0);
    EXPECT_NEAR(PcmAnalysis::dominantFrequency(lastSecond(tx->pcmReceived())), 440, 3.0);

    // Split screen: audio stops and the user's devices come back; whole screen: again.
    kill(player, SIGTERM);
    waitpid(player, nullptr, 0);
    // Layout changes settle before they restart anything: wait for each restart.
    const auto waitForRestart = [&session](std::uint64_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (session->layoutRestarts() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        return session->layoutRestarts() >= count;
    };
    tx->split.number = 2;
    emit tx->screenPositionChanged(2, 1);
    ASSERT_TRUE(waitForRestart(1));
    EXPECT_FALSE(session->audioOn());
    EXPECT_EQ(server.defaultSink(), QStringLiteral("speakers"));
    EXPECT_FALSE(server.sinkNames().contains(kSonvexSink));
    tx->split.number = 1;
    emit tx->screenPositionChanged(1, 1);
    ASSERT_TRUE(waitForRestart(2));
    EXPECT_TRUE(session->audioOn());
    EXPECT_EQ(server.defaultSink(), kSonvexSink);
    const pid_t second = server.playTone(880, 30);
    tx->clear();
    ASSERT_TRUE(tx->waitForPcmBytes(3 * 176400, 20s)) << "no sound after returning to full screen";
    EXPECT_NEAR(PcmAnalysis::dominantFrequency(lastSecond(tx->pcmReceived())), 880, 3.0);

    session->stopCapture();
    EXPECT_EQ(server.defaultSink(), QStringLiteral("speakers"));
    EXPECT_EQ(server.defaultSource(), QStringLiteral("microphone"));
    EXPECT_FALSE(server.sinkNames().contains(kSonvexSink));
    EXPECT_FALSE(QFile::exists(CoreAudioUtility::stateFile()));
    kill(second, SIGTERM);
    waitpid(second, nullptr, 0);
    session.reset();
}

} // namespace
