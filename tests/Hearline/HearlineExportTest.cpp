// The once-per-process LPCM and WAV exports of the first seconds of a capture.
#include "Hearline/Hearline.h"
#include "PcmAnalysis.h"
#include "SoundServerEnvironment.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QtEndian>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace {

static auto* const soundServer = SoundServerEnvironment::install();

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

TEST(HearlineExport, FirstSecondsGoToRawAndWavFilesOnce)
{
    PrivateSoundServer& server = SoundServerEnvironment::server();
    bool ok = false;
    const QString sink = server.pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                                       QStringLiteral("sink_name=export_sink")},
                                      &ok);
    ASSERT_TRUE(ok);
    const QString source = server.pactl({QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                                         QStringLiteral("source_name=export_sink.input"),
                                         QStringLiteral("master=export_sink.monitor")},
                                        &ok);
    ASSERT_TRUE(ok);
    ASSERT_TRUE(Hearline::waitForInputDevice(QStringLiteral("export_sink.input"), 3s));
    const pid_t player = server.playTone(500, 30, QStringLiteral("export_sink"));

    const QString raw = server.workDirectory() + QStringLiteral("/export.pcm");
    const QString wav = server.workDirectory() + QStringLiteral("/export.wav");
    qint64 delivered = 0;
    {
        Hearline hearline;
        hearline.setExportLPCMFilePath(raw);
        hearline.setExportWavFilePath(wav);
        hearline.setExportFileRecordSeconds(2);
        std::atomic<qint64> bytes{0};
        hearline.setCaptureResultBlock([&](const QByteArray& pcm, qint32) { bytes += pcm.size(); });
        ASSERT_FALSE(hearline.setCaptureDevice(QStringLiteral("export_sink")).has_value());
        hearline.start();
        // The files are finished on the main thread two seconds after the first buffer.
        EXPECT_TRUE(waitFor([&] { return QFile::exists(raw); }, 15000));
        waitFor([] { return false; }, 300);
        hearline.stop();
        delivered = bytes.load();
    }
    kill(player, SIGTERM);
    waitpid(player, nullptr, 0);
    server.pactl({QStringLiteral("unload-module"), source});
    server.pactl({QStringLiteral("unload-module"), sink});

    QFile rawFile(raw);
    ASSERT_TRUE(rawFile.open(QIODevice::ReadOnly));
    const QByteArray pcm = rawFile.readAll();
    // About two seconds: between one and three seconds of 176,400 bytes each.
    EXPECT_GT(pcm.size(), 176400);
    EXPECT_LT(pcm.size(), 3 * 176400);
    EXPECT_GT(delivered, pcm.size()) << "recording stops after its seconds; capture goes on";
    EXPECT_EQ(pcm.size() % 4, 0);

    QFile wavFile(wav);
    ASSERT_TRUE(wavFile.open(QIODevice::ReadOnly));
    const QByteArray wavBytes = wavFile.readAll();
    ASSERT_GE(wavBytes.size(), 44);
    EXPECT_EQ(wavBytes.left(4), "RIFF");
    EXPECT_EQ(wavBytes.mid(8, 8), "WAVEfmt ");
    EXPECT_EQ(qFromLittleEndian<quint16>(wavBytes.constData() + 22), 2);
    EXPECT_EQ(qFromLittleEndian<quint32>(wavBytes.constData() + 24), 44100u);
    EXPECT_EQ(qFromLittleEndian<quint16>(wavBytes.constData() + 34), 16);
    const quint32 dataSize = qFromLittleEndian<quint32>(wavBytes.constData() + 40);
    EXPECT_EQ(qsizetype(dataSize), wavBytes.size() - 44);
    EXPECT_GT(dataSize, 176400u);
    EXPECT_LT(dataSize, 3u * 176400u);
    EXPECT_NEAR(PcmAnalysis::dominantFrequency(wavBytes.mid(44)), 500, 3.0);

    // A later capture in the same process records nothing more.
    QFile::remove(raw);
    Hearline later;
    later.setExportLPCMFilePath(raw);
    ASSERT_FALSE(later.setCaptureDevice(std::nullopt).has_value());
    later.start();
    waitFor([] { return false; }, 1500);
    later.stop();
    EXPECT_FALSE(QFile::exists(raw));
}

} // namespace
