// Audio input capture against a private PulseAudio server: device choice, the fixed format,
// the capture thread, and the sound itself.
#include "Hearline/Hearline.h"

#include "PcmAnalysis.h"
#include "SoundServerEnvironment.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace {

static auto* const soundServer = SoundServerEnvironment::install();

// Collects what the closure receives.
struct Recorder
{
    std::mutex mutex;
    std::condition_variable changed;
    QByteArray bytes;
    int calls = 0;
    int badStatus = 0;
    int partialFrames = 0;
    QStringList threads;

    Hearline::CaptureResultBlock block()
    {
        return [this](const QByteArray& pcm, qint32 status) {
            std::lock_guard lock(mutex);
            ++calls;
            if (status != 0)
                ++badStatus;
            if (pcm.size() % 4 != 0)
                ++partialFrames;
            const QString thread = QThread::currentThread()->objectName();
            if (!threads.contains(thread))
                threads.append(thread);
            bytes.append(pcm);
            changed.notify_all();
        };
    }
    bool waitForBytes(qsizetype n, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return bytes.size() >= n; });
    }
    QByteArray take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(bytes, {});
    }
};

class HearlineTest : public ::testing::Test
{
protected:
    PrivateSoundServer& server = SoundServerEnvironment::server();

    void TearDown() override
    {
        for (pid_t pid : players) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        for (auto it = modules.rbegin(); it != modules.rend(); ++it)
            server.pactl({QStringLiteral("unload-module"), *it});
    }
    // A null sink and a capture source on its monitor named NAME.input.
    void addLoopDevice(const QString& name)
    {
        bool ok = false;
        modules.append(server.pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                                     QStringLiteral("sink_name=") + name, QStringLiteral("rate=44100")},
                                    &ok));
        ASSERT_TRUE(ok);
        modules.append(server.pactl({QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                                     QStringLiteral("source_name=%1.input").arg(name),
                                     QStringLiteral("master=%1.monitor").arg(name)},
                                    &ok));
        ASSERT_TRUE(ok);
        ASSERT_TRUE(Hearline::waitForInputDevice(name + QStringLiteral(".input"), 3s));
    }
    void play(double frequency, const QString& sink)
    {
        const pid_t pid = server.playTone(frequency, 20, sink);
        ASSERT_GT(pid, 0);
        players.push_back(pid);
    }

    QStringList modules;
    std::vector<pid_t> players;
};

TEST_F(HearlineTest, LastDeviceWithThePrefixIsCapturedAsFixedFormatPcm)
{
    addLoopDevice(QStringLiteral("com_tamsic_Vistrel_first"));
    addLoopDevice(QStringLiteral("com_tamsic_Vistrel_second"));
    play(440, QStringLiteral("com_tamsic_Vistrel_first"));
    play(1000, QStringLiteral("com_tamsic_Vistrel_second"));

    QString lastListed;
    for (const QAudioDevice& d : QMediaDevices::audioInputs())
        if (d.id().startsWith("com_tamsic_Vistrel"))
            lastListed = QString::fromUtf8(d.id());

    Recorder recorder;
    Hearline hearline;
    EXPECT_EQ(hearline.exportFileRecordSeconds(), 5);
    EXPECT_EQ(hearline.audioSettings().sampleRate(), 44100);
    EXPECT_EQ(hearline.audioSettings().channelCount(), 2);
    EXPECT_EQ(hearline.audioSettings().bytesPerFrame(), 4);
    hearline.setCaptureResultBlock(recorder.block());
    EXPECT_FALSE(hearline.setCaptureDevice(QStringLiteral("com_tamsic_Vistrel")).has_value());
    EXPECT_EQ(QString::fromUtf8(hearline.captureDeviceId()), lastListed);
    hearline.start();

    // A second of sound (after the stream settles), then its tone.
    ASSERT_TRUE(recorder.waitForBytes(3 * 176400, 15s)) << "captured only " << recorder.take().size();
    const QByteArray pcm = recorder.take();
    const double expected = lastListed.contains(QStringLiteral("second")) ? 1000 : 440;
    EXPECT_NEAR(PcmAnalysis::dominantFrequency(pcm), expected, 3.0);
    {
        std::lock_guard lock(recorder.mutex);
        EXPECT_EQ(recorder.badStatus, 0);
        EXPECT_EQ(recorder.partialFrames, 0);
        EXPECT_EQ(recorder.threads, QStringList{QStringLiteral("mCaptureAudioQueue")});
    }

    // Stopped: no more buffers; started again: buffers again.
    hearline.stop();
    QThread::msleep(300);
    recorder.take();
    QThread::msleep(400);
    EXPECT_EQ(recorder.take().size(), 0);
    hearline.start();
    EXPECT_TRUE(recorder.waitForBytes(44100, 10s));
    hearline.stop();
}

TEST_F(HearlineTest, NoMatchOrNoPrefixCapturesTheDefaultInput)
{
    for (const std::optional<QString>& prefix :
         {std::optional<QString>(QStringLiteral("com_nobody")), std::optional<QString>()}) {
        Hearline hearline;
        EXPECT_FALSE(hearline.setCaptureDevice(prefix).has_value());
        const QAudioDevice fallback = QMediaDevices::defaultAudioInput();
        if (!fallback.isNull())
            EXPECT_EQ(hearline.captureDeviceId(), fallback.id());
        else
            EXPECT_FALSE(hearline.captureDeviceId().isEmpty());
    }
}

TEST_F(HearlineTest, DeviceIsChosenOnce)
{
    Hearline hearline;
    EXPECT_FALSE(hearline.setCaptureDevice(std::nullopt).has_value());
    const QByteArray first = hearline.captureDeviceId();
    const std::optional<HearlineError> again = hearline.setCaptureDevice(QStringLiteral("com_"));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->domain, QStringLiteral("kHearlineErrorDomain"));
    EXPECT_EQ(again->code, 0);
    EXPECT_EQ(again->localizedDescription, QStringLiteral("mCaptureSession cannot addInput"));
    EXPECT_EQ(hearline.captureDeviceId(), first);
}

TEST_F(HearlineTest, StartWithoutDeviceDeliversNothingAndTeardownIsSafeWhileRunning)
{
    Recorder recorder;
    {
        Hearline idle;
        idle.setCaptureResultBlock(recorder.block());
        idle.start(); // no capture graph: nothing happens
        QThread::msleep(200);
    }
    EXPECT_EQ(recorder.calls, 0);
    {
        Hearline running;
        running.setCaptureResultBlock(recorder.block());
        ASSERT_FALSE(running.setCaptureDevice(std::nullopt).has_value());
        running.start();
    } // destroyed while capturing
    SUCCEED();
}

} // namespace
