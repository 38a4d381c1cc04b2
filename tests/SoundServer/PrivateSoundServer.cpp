#include "PrivateSoundServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kStartTimeoutMs = 10000;

QByteArray toneBytes(double frequency, double seconds)
{
    const int frames = int(seconds * 44100);
    QByteArray pcm(qsizetype(frames) * 4, Qt::Uninitialized);
    auto* out = reinterpret_cast<qint16*>(pcm.data());
    for (int i = 0; i < frames; ++i) {
        const auto v = qint16(std::lround(12000.0 * std::sin(2.0 * M_PI * frequency * i / 44100.0)));
        out[2 * i] = v;
        out[2 * i + 1] = v;
    }
    return pcm;
}

} // namespace

PrivateSoundServer::PrivateSoundServer() = default;

PrivateSoundServer::~PrivateSoundServer()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 50; ++i) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid)
                return;
            QThread::msleep(20);
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

bool PrivateSoundServer::start(QString* error)
{
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (!m_dir.isValid())
        return fail(QStringLiteral("no temporary directory"));
    const QString root = m_dir.path();
    for (const char* sub : {"runtime", "home", "config", "state"})
        QDir(root).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(root + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString socket = root + QStringLiteral("/runtime/pulse.sock");
    const QString script = root + QStringLiteral("/server.pa");
    {
        QFile file(script);
        if (!file.open(QIODevice::WriteOnly))
            return fail(QStringLiteral("cannot write %1").arg(script));
        file.write(QStringLiteral("load-module module-native-protocol-unix auth-anonymous=1 socket=%1\n"
                                  "load-module module-null-sink sink_name=speakers rate=44100 channels=2 "
                                  "sink_properties=device.description=Speakers\n"
                                  "load-module module-null-source source_name=microphone "
                                  "description=Microphone\n"
                                  "set-default-sink speakers\n"
                                  "set-default-source microphone\n")
                       .arg(socket)
                       .toUtf8());
    }
    const QString log = root + QStringLiteral("/server.log");

    m_pid = fork();
    if (m_pid < 0)
        return fail(QStringLiteral("fork failed"));
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int out = open(log.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        // Nothing of the user's: own home, runtime, config and state; no session bus, no X.
        setenv("HOME", (root + QStringLiteral("/home")).toLocal8Bit().constData(), 1);
        setenv("XDG_RUNTIME_DIR", (root + QStringLiteral("/runtime")).toLocal8Bit().constData(), 1);
        setenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toLocal8Bit().constData(), 1);
        setenv("XDG_STATE_HOME", (root + QStringLiteral("/state")).toLocal8Bit().constData(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "disabled:", 1);
        unsetenv("DISPLAY");
        unsetenv("PULSE_SERVER");
        const QByteArray file = script.toLocal8Bit();
        execlp("pulseaudio", "pulseaudio", "--daemonize=no", "--system=false", "-n", "-F", file.constData(),
               "--exit-idle-time=-1", "--use-pid-file=no", "--disallow-module-loading=no",
               "--log-target=stderr", static_cast<char*>(nullptr));
        _exit(127);
    }

    m_address = "unix:" + socket.toLocal8Bit();
    qputenv("PULSE_SERVER", m_address);
    for (int waited = 0; waited < kStartTimeoutMs; waited += 50) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            QFile file(log);
            file.open(QIODevice::ReadOnly);
            return fail(QStringLiteral("pulseaudio exited at start:\n%1")
                            .arg(QString::fromLocal8Bit(file.readAll())));
        }
        bool ok = false;
        if (QFile::exists(socket)) {
            pactl({QStringLiteral("info")}, &ok);
            if (ok)
                return true;
        }
        QThread::msleep(50);
    }
    return fail(QStringLiteral("pulseaudio did not answer within %1 ms").arg(kStartTimeoutMs));
}

QString PrivateSoundServer::pactl(const QStringList& arguments, bool* ok) const
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PULSE_SERVER"), QString::fromLocal8Bit(m_address));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("pactl"), arguments);
    const bool finished = process.waitForFinished(5000);
    if (!finished)
        process.kill();
    const bool good = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (ok)
        *ok = good;
    return good ? QString::fromUtf8(process.readAllStandardOutput()).trimmed() : QString();
}

QString PrivateSoundServer::defaultSink() const
{
    return pactl({QStringLiteral("get-default-sink")});
}

QString PrivateSoundServer::defaultSource() const
{
    return pactl({QStringLiteral("get-default-source")});
}

namespace {
QStringList secondColumn(const QString& table)
{
    QStringList names;
    for (const QString& line : table.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList columns = line.split(QLatin1Char('\t'));
        if (columns.size() > 1)
            names.append(columns[1]);
    }
    return names;
}
} // namespace

QStringList PrivateSoundServer::sinkNames() const
{
    return secondColumn(pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks")}));
}

QStringList PrivateSoundServer::sourceNames() const
{
    return secondColumn(pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")}));
}

pid_t PrivateSoundServer::playTone(double frequency, double seconds, const QString& sink) const
{
    const QString file = m_dir.filePath(QStringLiteral("tone-%1.raw").arg(frequency));
    {
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly))
            return -1;
        out.write(toneBytes(frequency, seconds));
    }
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        setenv("PULSE_SERVER", m_address.constData(), 1);
        const QByteArray path = file.toLocal8Bit();
        const QByteArray device = "--device=" + sink.toLocal8Bit();
        if (sink.isEmpty())
            execlp("pacat", "pacat", "--raw", "--format=s16le", "--rate=44100", "--channels=2",
                   path.constData(), static_cast<char*>(nullptr));
        else
            execlp("pacat", "pacat", "--raw", "--format=s16le", "--rate=44100", "--channels=2",
                   device.constData(), path.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}
