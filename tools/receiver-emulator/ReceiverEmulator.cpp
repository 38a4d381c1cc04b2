#include "ReceiverEmulator.h"

#include "ConfigHttpServer.h"
#include "ReceiverEmulatorCore.h"
#include "Support/BlockingCall.h"

#include <QThread>
#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Runs `fn` on the core's thread and waits for it (inline when already there).
template <typename Fn> auto onCore(ReceiverEmulatorCore* core, Fn fn) -> decltype(fn())
{
    return Support::blockingCall(core, fn);
}

bool parseSwitch(const QString& word, bool& out)
{
    if (word == QLatin1String("on") || word == QLatin1String("1") || word == QLatin1String("true")) {
        out = true;
        return true;
    }
    if (word == QLatin1String("off") || word == QLatin1String("0") || word == QLatin1String("false")) {
        out = false;
        return true;
    }
    return false;
}

// Nearest-rank percentile of sorted values, in milliseconds.
double percentileMs(const std::vector<qint64>& sortedUs, double p)
{
    const auto rank = std::size_t(std::ceil(p * double(sortedUs.size())));
    return double(sortedUs[std::clamp<std::size_t>(rank, 1, sortedUs.size()) - 1]) / 1000.0;
}

} // namespace

Json ReceiverStatistics::toJson() const
{
    Json arrivals = Json::array();
    for (qint64 t : arrivalTimesMs)
        arrivals.push_back(t);
    Json latency{{"samples", tickToDecodedUs.size()}, {"p50", nullptr}, {"p99", nullptr}, {"max", nullptr}};
    if (!tickToDecodedUs.isEmpty()) {
        std::vector<qint64> sorted(tickToDecodedUs.begin(), tickToDecodedUs.end());
        std::sort(sorted.begin(), sorted.end());
        latency["p50"] = percentileMs(sorted, 0.50);
        latency["p99"] = percentileMs(sorted, 0.99);
        latency["max"] = double(sorted.back()) / 1000.0;
    }
    Json sizes = Json::array();
    for (const QSize& size : pictureSizes)
        sizes.push_back(QStringLiteral("%1x%2").arg(size.width()).arg(size.height()).toStdString());
    Json out{{"connectedSenders", connectedSenders},
             {"streamingSenders", streamingSenders},
             {"h264Frames", h264Frames},
             {"h264KeyFrames", h264KeyFrames},
             {"jpegFrames", jpegFrames},
             {"pcmChunks", pcmChunks},
             {"pcmBytes", pcmBytes},
             {"pcmRejected", pcmRejected},
             {"pcmKeptBytes", pcmKeptBytes},
             {"pcmFrequencyHz", pcmFrequencyHz},
             {"pcmLevel", pcmLevel},
             {"mediaBytes", mediaBytes},
             {"decodedPictures", decodedPictures},
             {"decodeErrors", decodeErrors},
             {"protocolErrors", protocolErrors},
             {"ignoredMedia", ignoredMedia},
             {"lastFrameWidth", lastFrameSize.width()},
             {"lastFrameHeight", lastFrameSize.height()},
             {"lastDecodedWidth", lastDecodedSize.width()},
             {"lastDecodedHeight", lastDecodedSize.height()},
             {"firstArrivalMs", firstArrivalMs},
             {"lastArrivalMs", lastArrivalMs},
             {"bitRate", bitRate},
             {"discoveryQueries", discoveryQueries},
             {"discoveryReplies", discoveryReplies},
             {"configRequests", configRequests},
             {"pointerEventsSent", pointerEventsSent},
             {"startRequests", startRequests},
             {"stopRequests", stopRequests},
             {"pingRequests", pingRequests},
             {"arrivalTimesMs", arrivals},
             {"tickToDecodedMs", latency},
             {"latencyUnrelatedClock", latencyUnrelatedClock},
             {"pictureSizes", sizes}};
    if (lastHostAnswer) {
        out["lastHostAnswer"] = *lastHostAnswer;
        out["lastHostAnswerMode"] = lastHostAnswerMode;
    }
    return out;
}

ReceiverEmulator::ReceiverEmulator(ReceiverEmulatorConfig config) : m_config(std::move(config))
{
    m_thread = std::make_unique<QThread>();
    m_thread->setObjectName(QStringLiteral("receiver %1").arg(m_config.name));
    m_core = new ReceiverEmulatorCore(m_config);
    m_core->moveToThread(m_thread.get());
    QObject::connect(m_thread.get(), &QThread::finished, m_core, &QObject::deleteLater);
    m_thread->start();
}

ReceiverEmulator::~ReceiverEmulator()
{
    stop();
    // The core is deleted on its own thread when the thread finishes.
    m_thread->quit();
    m_thread->wait();
}

bool ReceiverEmulator::start(QString* error)
{
    return onCore(m_core, [&] { return m_core->start(error); });
}

void ReceiverEmulator::stop()
{
    onCore(m_core, [&] { m_core->stop(); });
}

bool ReceiverEmulator::isRunning() const
{
    return onCore(m_core, [&] { return m_core->isRunning(); });
}

QHostAddress ReceiverEmulator::address() const
{
    return m_config.bindAddress;
}

quint16 ReceiverEmulator::discoveryPort() const
{
    return onCore(m_core, [&] { return m_core->discoveryPort(); });
}

quint16 ReceiverEmulator::controlPort() const
{
    return onCore(m_core, [&] { return m_core->controlPort(); });
}

quint16 ReceiverEmulator::configPort() const
{
    return onCore(m_core, [&] { return m_core->configPort(); });
}

quint16 ReceiverEmulator::firstConfigPort() const
{
    return onCore(m_core, [&] { return m_core->firstConfigPort(); });
}

QString ReceiverEmulator::configCommand(const QString& arguments)
{
    return onCore(m_core, [&] { return m_core->configCommand(arguments); });
}

void ReceiverEmulator::setSilent(bool silent)
{
    onCore(m_core, [&] { m_core->setSilent(silent); });
}

void ReceiverEmulator::setHung(bool hung)
{
    onCore(m_core, [&] { m_core->setHung(hung); });
}

void ReceiverEmulator::setName(const QString& name)
{
    onCore(m_core, [&] { m_core->setName(name); });
}

void ReceiverEmulator::setRefuseConnections(bool refuse)
{
    onCore(m_core, [&] { m_core->setRefuseConnections(refuse); });
}

void ReceiverEmulator::setRefuseStream(bool refuse)
{
    onCore(m_core, [&] { m_core->setRefuseStream(refuse); });
}

void ReceiverEmulator::setReadingPaused(bool paused)
{
    onCore(m_core, [&] { m_core->setReadingPaused(paused); });
}

void ReceiverEmulator::setReadRate(qint64 bitsPerSecond)
{
    onCore(m_core, [&] { m_core->setReadRate(bitsPerSecond); });
}

std::optional<qint64> ReceiverEmulator::parseRate(const QString& text)
{
    QString number = text.trimmed();
    double factor = 1;
    if (number.endsWith(QLatin1Char('k')) || number.endsWith(QLatin1Char('K')))
        factor = 1e3;
    else if (number.endsWith(QLatin1Char('M')))
        factor = 1e6;
    else if (number.endsWith(QLatin1Char('G')))
        factor = 1e9;
    if (factor != 1)
        number.chop(1);
    bool ok = false;
    const double value = number.toDouble(&ok) * factor;
    if (!ok || !std::isfinite(value) || value < 0 || value > 10e9)
        return std::nullopt;
    return qint64(value);
}

void ReceiverEmulator::dropLinks()
{
    onCore(m_core, [&] { m_core->dropLinks(); });
}

void ReceiverEmulator::setSplitScreen(int number, int position)
{
    onCore(m_core, [&] { m_core->setSplitScreen(number, position); });
}

void ReceiverEmulator::stopDisplay()
{
    onCore(m_core, [&] { m_core->stopDisplay(); });
}

void ReceiverEmulator::pauseDisplay()
{
    onCore(m_core, [&] { m_core->pauseDisplay(); });
}

void ReceiverEmulator::resumeDisplay()
{
    onCore(m_core, [&] { m_core->resumeDisplay(); });
}

int ReceiverEmulator::sendPointerEvent(const Json& params)
{
    return onCore(m_core, [&] { return m_core->sendPointerEvent(params); });
}

bool ReceiverEmulator::askHost(const QString& guestIP, const QString& guestName, bool fullscreen)
{
    return onCore(m_core, [&] { return m_core->askHost(guestIP, guestName, fullscreen); });
}

void ReceiverEmulator::sendRole(int role)
{
    onCore(m_core, [&] { m_core->sendRole(role); });
}

bool ReceiverEmulator::savePcm(const QString& path)
{
    return m_core->savePcm(path);
}

QByteArray ReceiverEmulator::keptPcm() const
{
    return m_core->keptPcm();
}

bool ReceiverEmulator::saveSnapshot(const QString& path)
{
    return onCore(m_core, [&] { return m_core->saveSnapshot(path); });
}

QImage ReceiverEmulator::lastPicture() const
{
    return onCore(m_core, [&] { return m_core->lastPicture(); });
}

ReceiverStatistics ReceiverEmulator::statistics() const
{
    return m_core->statistics();
}

void ReceiverEmulator::resetStatistics()
{
    m_core->resetStatistics();
}

QString ReceiverEmulator::helpText()
{
    return QStringLiteral(
        "commands:\n"
        "  silent on|off          stop/start answering discovery and hellos\n"
        "  hang on|off            keep links open but answer nothing (not even pings)\n"
        "  name NEW NAME          answer with another name\n"
        "  refuse on|off          refuse senders (hello answered with an error)\n"
        "  refuse-stream on|off   refuse display streams\n"
        "  stall on|off           stop/start reading from the senders\n"
        "  read-rate RATE         read the senders at most RATE bit/s (2M, 500k; 0 = unlimited)\n"
        "  drop                   close every sender link\n"
        "  split N [P]            announce N screens (P: position 1..N for every sender)\n"
        "  stop | pause | resume  stop, pause or resume the display\n"
        "  pointer JSON           send a pointer event, e.g. pointer {\"event\":\"move\",\"dx\":5,\"dy\":0}\n"
        "  ask IP NAME [fullscreen]  ask the host on behalf of a guest\n"
        "  role N                 send role N (0 none, 1 host, 2 guest) to every sender\n"
        "  snapshot [PATH]        save the last decoded picture as PNG\n"
        "  save-pcm [PATH]        save the received sound (the last minute) as a WAV file\n"
        "  stats | reset-stats    print or clear the statistics\n"
        "  help | quit");
}

QString ReceiverEmulator::execute(const QString& line)
{
    const QString trimmed = line.trimmed();
    const qsizetype space = trimmed.indexOf(QLatin1Char(' '));
    const QString command = space < 0 ? trimmed : trimmed.left(space);
    const QString rest = space < 0 ? QString() : trimmed.mid(space + 1).trimmed();
    const QStringList args = rest.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString ok = QStringLiteral("ok");
    auto usage = [](const char* text) { return QStringLiteral("error: usage: %1").arg(QLatin1String(text)); };
    bool flag = false;

    if (command.isEmpty())
        return {};
    if (command == QLatin1String("help"))
        return helpText() + QLatin1Char('\n') + ConfigHttpServer::helpText();
    if (command == QLatin1String("silent")) {
        if (args.size() != 1 || !parseSwitch(args[0], flag))
            return usage("silent on|off");
        setSilent(flag);
        return ok;
    }
    if (command == QLatin1String("hang")) {
        if (args.size() != 1 || !parseSwitch(args[0], flag))
            return usage("hang on|off");
        setHung(flag);
        return ok;
    }
    if (command == QLatin1String("name")) {
        if (rest.isEmpty() || rest.size() > 200)
            return usage("name NEW NAME");
        setName(rest);
        return ok;
    }
    if (command == QLatin1String("refuse")) {
        if (args.size() != 1 || !parseSwitch(args[0], flag))
            return usage("refuse on|off");
        setRefuseConnections(flag);
        return ok;
    }
    if (command == QLatin1String("refuse-stream")) {
        if (args.size() != 1 || !parseSwitch(args[0], flag))
            return usage("refuse-stream on|off");
        setRefuseStream(flag);
        return ok;
    }
    if (command == QLatin1String("stall")) {
        if (args.size() != 1 || !parseSwitch(args[0], flag))
            return usage("stall on|off");
        setReadingPaused(flag);
        return ok;
    }
    if (command == QLatin1String("read-rate")) {
        const std::optional<qint64> rate = args.size() == 1 ? parseRate(args[0]) : std::nullopt;
        if (!rate)
            return usage("read-rate RATE (bits per second, e.g. 2M; 0 = unlimited)");
        setReadRate(*rate);
        return ok;
    }
    if (command == QLatin1String("drop")) {
        dropLinks();
        return ok;
    }
    if (command == QLatin1String("split")) {
        bool okN = false, okP = true;
        const int n = args.value(0).toInt(&okN);
        const int p = args.size() > 1 ? args[1].toInt(&okP) : -1;
        if (!okN || !okP || n < 1 || n > 16 || args.size() > 2 || (args.size() == 2 && (p < 1 || p > n)))
            return usage("split N [P]");
        setSplitScreen(n, p);
        return ok;
    }
    if (command == QLatin1String("stop")) {
        stopDisplay();
        return ok;
    }
    if (command == QLatin1String("pause")) {
        pauseDisplay();
        return ok;
    }
    if (command == QLatin1String("resume")) {
        resumeDisplay();
        return ok;
    }
    if (command == QLatin1String("pointer")) {
        const std::string text = rest.toStdString();
        const Json params = Json::parse(text, nullptr, false);
        if (params.is_discarded())
            return usage("pointer JSON");
        return QStringLiteral("ok %1").arg(sendPointerEvent(params));
    }
    if (command == QLatin1String("ask")) {
        if (args.size() < 2 || args.size() > 3 ||
            (args.size() == 3 && args[2] != QLatin1String("fullscreen")))
            return usage("ask IP NAME [fullscreen]");
        return askHost(args[0], args[1], args.size() == 3) ? ok : QStringLiteral("error: no host");
    }
    if (command == QLatin1String("role")) {
        bool okR = false;
        const int role = args.value(0).toInt(&okR);
        if (!okR || role < 0 || role > 2)
            return usage("role 0|1|2");
        sendRole(role);
        return ok;
    }
    if (command == QLatin1String("snapshot"))
        return saveSnapshot(rest) ? ok : QStringLiteral("error: no picture or no path");
    if (command == QLatin1String("config"))
        return configCommand(rest);
    if (command == QLatin1String("save-pcm"))
        return savePcm(rest) ? ok : QStringLiteral("error: no path or cannot write");
    if (command == QLatin1String("stats"))
        return QString::fromStdString(statistics().toJson().dump());
    if (command == QLatin1String("reset-stats")) {
        resetStatistics();
        return ok;
    }
    return QStringLiteral("error: unknown command \"%1\" (try help)").arg(command.left(40));
}
