// pikora-accessory-emulator: plays the button accessory on loopback (and on a simulated USB
// bus) so the application can be run and tested without the hardware. Commands are read from
// standard input, one per line; every event is printed to standard output as one line
// "<seconds> <kind> <details>", and a summary line when the emulator stops.

#include "Support/Logging.h"
#include "tools/accessory-emulator/AccessoryEmulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
}

void printLine(const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

QString secondsText(qint64 ms)
{
    return QString::number(static_cast<double>(ms) / 1000.0, 'f', 3);
}

const char* kCommandHelp = "commands:\n"
                           "  press | long-press          send the button notification\n"
                           "  notify METHOD               send another notification\n"
                           "  send TEXT                   send TEXT as one frame\n"
                           "  garbage oversized|truncated|utf8|not-json\n"
                           "  handshake dictionary|not-dictionary|error|silent\n"
                           "  drop                        close every connection\n"
                           "  stall | resume              stop / resume reading (the peer's writes\n"
                           "                              time out once the socket buffers are full)\n"
                           "  refuse | accept             stop / resume listening\n"
                           "  unplug | plug               leave / rejoin the USB bus and the network\n"
                           "  pair JSON | unpair          set / clear the stored pairing\n"
                           "  status | help | quit";

class CommandShell
{
public:
    CommandShell(AccessoryEmulator& emulator) : m_emulator(emulator) {}

    // Returns false when the line asks to quit.
    bool run(const QString& line)
    {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty())
            return true;
        const qsizetype space = trimmed.indexOf(QLatin1Char(' '));
        const QString command = space < 0 ? trimmed : trimmed.left(space);
        const QString argument = space < 0 ? QString() : trimmed.mid(space + 1).trimmed();

        if (command == QLatin1String("quit") || command == QLatin1String("exit"))
            return false;
        if (command == QLatin1String("help")) {
            printLine(QString::fromLatin1(kCommandHelp));
        } else if (command == QLatin1String("press")) {
            reply(QStringLiteral("press sent to %1 peer(s)").arg(m_emulator.pressButton()));
        } else if (command == QLatin1String("long-press")) {
            reply(QStringLiteral("long-press sent to %1 peer(s)").arg(m_emulator.longPressButton()));
        } else if (command == QLatin1String("notify") && !argument.isEmpty()) {
            reply(QStringLiteral("%1 sent to %2 peer(s)")
                      .arg(argument)
                      .arg(m_emulator.sendNotification(argument.toStdString())));
        } else if (command == QLatin1String("send") && !argument.isEmpty()) {
            reply(QStringLiteral("frame sent to %1 peer(s)").arg(m_emulator.sendFrame(argument.toUtf8())));
        } else if (command == QLatin1String("garbage")) {
            const auto kind = AccessoryEmulator::garbageFromString(argument);
            if (!kind)
                return usage(QStringLiteral("garbage needs oversized|truncated|utf8|not-json"));
            reply(QStringLiteral("garbage sent to %1 peer(s)").arg(m_emulator.sendGarbage(*kind)));
        } else if (command == QLatin1String("handshake")) {
            const auto mode = AccessoryEmulator::handshakeReplyFromString(argument);
            if (!mode)
                return usage(QStringLiteral("handshake needs dictionary|not-dictionary|error|silent"));
            m_emulator.setHandshakeReply(*mode);
            reply(QStringLiteral("handshake replies: %1").arg(argument));
        } else if (command == QLatin1String("drop") || command == QLatin1String("close")) {
            reply(QStringLiteral("dropped %1 connection(s)").arg(m_emulator.dropConnections()));
        } else if (command == QLatin1String("stall")) {
            m_emulator.setStalled(true);
        } else if (command == QLatin1String("resume")) {
            m_emulator.setStalled(false);
        } else if (command == QLatin1String("refuse")) {
            m_emulator.setRefusing(true);
        } else if (command == QLatin1String("accept")) {
            QString error;
            if (!m_emulator.setRefusing(false, &error))
                reply(error);
        } else if (command == QLatin1String("unplug")) {
            m_emulator.unplug();
        } else if (command == QLatin1String("plug")) {
            QString error;
            if (!m_emulator.plug(&error))
                reply(error);
        } else if (command == QLatin1String("pair")) {
            const QByteArray text = argument.toUtf8();
            const Json pairing = Json::parse(text.constBegin(), text.constEnd(), nullptr, false);
            if (!pairing.is_object())
                return usage(QStringLiteral("pair needs a JSON object"));
            QString error;
            if (!m_emulator.setPairing(pairing, &error))
                reply(error);
        } else if (command == QLatin1String("unpair")) {
            m_emulator.clearPairing();
            reply(QStringLiteral("pairing cleared"));
        } else if (command == QLatin1String("status")) {
            reply(status());
        } else {
            return usage(QStringLiteral("unknown command '%1' (try help)").arg(trimmed));
        }
        return true;
    }

    QString status() const
    {
        const char* usb = "absent";
        if (m_emulator.usbState() == AccessoryEmulator::UsbState::Raw)
            usb = "raw";
        else if (m_emulator.usbState() == AccessoryEmulator::UsbState::Network)
            usb = "network";
        return QStringLiteral("listening=%1 address=%2:%3 usb=%4 stalled=%5 refusing=%6 handshake=%7 %8")
            .arg(m_emulator.isListening() ? "yes" : "no")
            .arg(m_emulator.address().toString())
            .arg(m_emulator.port())
            .arg(QLatin1String(usb))
            .arg(m_emulator.isStalled() ? "yes" : "no")
            .arg(m_emulator.isRefusing() ? "yes" : "no")
            .arg(AccessoryEmulator::toString(m_emulator.handshakeReply()))
            .arg(m_emulator.summaryText());
    }

private:
    static void reply(const QString& text) { printLine(QStringLiteral("> ") + text); }
    static bool usage(const QString& text)
    {
        reply(text);
        return true;
    }

    AccessoryEmulator& m_emulator;
};

} // namespace

int main(int argc, char** argv)
{
    Logging::install();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pikora-accessory-emulator"));
    // Events already go to standard output; keep standard error for warnings.
    QLoggingCategory::setFilterRules(QStringLiteral("pikora.tools.accessory.debug=false"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays the Pikora button accessory: JSON-RPC over TCP on a loopback address, and the "
                       "device on a simulated USB bus.\n\n") +
        QString::fromLatin1(kCommandHelp));
    parser.addHelpOption();
    const QCommandLineOption listenOption(QStringLiteral("listen"), QStringLiteral("Address to listen on."),
                                          QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("TCP port (0 = any free port)."),
                                        QStringLiteral("PORT"), QStringLiteral("0"));
    const QCommandLineOption pairingFileOption(QStringLiteral("pairing-file"),
                                               QStringLiteral("File that keeps the pairing data."),
                                               QStringLiteral("FILE"));
    const QCommandLineOption pairingOption(QStringLiteral("pairing"),
                                           QStringLiteral("Pairing to start with when the file holds none."),
                                           QStringLiteral("JSON"));
    const QCommandLineOption usbSimOption(QStringLiteral("usb-sim"),
                                          QStringLiteral("Simulated USB bus directory (default: "
                                                         "$PIKORA_USB_SIM_DIR; none = not on a bus)."),
                                          QStringLiteral("DIR"));
    const QCommandLineOption usbNameOption(QStringLiteral("usb-name"),
                                           QStringLiteral("Device file name on the bus."),
                                           QStringLiteral("NAME"), QStringLiteral("pikora-accessory"));
    const QCommandLineOption rawOption(
        QStringLiteral("raw-mode"), QStringLiteral("Start in raw USB mode and wait for the switch command."));
    const QCommandLineOption delayOption(
        QStringLiteral("reenumeration-delay"),
        QStringLiteral("Milliseconds between leaving raw mode and showing up "
                       "in network mode."),
        QStringLiteral("MS"), QStringLiteral("300"));
    const QCommandLineOption handshakeOption(QStringLiteral("handshake-reply"),
                                             QStringLiteral("dictionary|not-dictionary|error|silent"),
                                             QStringLiteral("MODE"), QStringLiteral("dictionary"));
    const QCommandLineOption resultOption(QStringLiteral("handshake-result"),
                                          QStringLiteral("The handshake's result dictionary."),
                                          QStringLiteral("JSON"));
    const QCommandLineOption quitOnEofOption(QStringLiteral("quit-on-eof"),
                                             QStringLiteral("Stop when standard input ends (default: keep "
                                                            "running until SIGINT/SIGTERM)."));
    parser.addOptions({listenOption, portOption, pairingFileOption, pairingOption, usbSimOption,
                       usbNameOption, rawOption, delayOption, handshakeOption, resultOption,
                       quitOnEofOption});
    parser.process(app);

    auto fail = [](const QString& text) {
        std::fprintf(stderr, "pikora-accessory-emulator: %s\n", qPrintable(text));
        return 2;
    };

    AccessoryEmulator::Options options;
    if (!options.listenAddress.setAddress(parser.value(listenOption)))
        return fail(QStringLiteral("--listen needs an IP address"));
    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > 65535)
        return fail(QStringLiteral("--port needs a number from 0 to 65535"));
    options.port = static_cast<std::uint16_t>(port);
    options.pairingFile = parser.value(pairingFileOption);
    if (parser.isSet(pairingOption)) {
        const QByteArray text = parser.value(pairingOption).toUtf8();
        Json pairing = Json::parse(text.constBegin(), text.constEnd(), nullptr, false);
        if (!pairing.is_object())
            return fail(QStringLiteral("--pairing needs a JSON object"));
        options.initialPairing = std::move(pairing);
    }
    options.usbSimDirectory =
        parser.isSet(usbSimOption) ? parser.value(usbSimOption) : qEnvironmentVariable("PIKORA_USB_SIM_DIR");
    options.usbDeviceName = parser.value(usbNameOption);
    if (options.usbDeviceName.isEmpty() || options.usbDeviceName.contains(QLatin1Char('/')))
        return fail(QStringLiteral("--usb-name needs a plain file name"));
    options.startInRawMode = parser.isSet(rawOption);
    const int delay = parser.value(delayOption).toInt(&ok);
    if (!ok || delay < 0)
        return fail(QStringLiteral("--reenumeration-delay needs a number of milliseconds"));
    options.reenumerationDelay = std::chrono::milliseconds(delay);
    const auto reply = AccessoryEmulator::handshakeReplyFromString(parser.value(handshakeOption));
    if (!reply)
        return fail(QStringLiteral("--handshake-reply needs dictionary|not-dictionary|error|silent"));
    options.handshakeReply = *reply;
    if (parser.isSet(resultOption)) {
        const QByteArray text = parser.value(resultOption).toUtf8();
        Json result = Json::parse(text.constBegin(), text.constEnd(), nullptr, false);
        if (result.is_discarded())
            return fail(QStringLiteral("--handshake-result needs JSON"));
        options.handshakeResult = std::move(result);
    }

    // SIGINT/SIGTERM end the run through the event loop, so the summary is printed.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return fail(QStringLiteral("cannot create the signal pipe"));
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    AccessoryEmulator emulator(options);
    QObject::connect(
        &emulator, &AccessoryEmulator::eventOccurred, &app, [](const AccessoryEmulator::Event& e) {
            printLine(QStringLiteral("%1 %2 %3")
                          .arg(secondsText(e.msSinceStart), AccessoryEmulator::toString(e.kind), e.text));
        });

    QString error;
    if (!emulator.start(&error))
        return fail(error);

    CommandShell shell(emulator);
    QByteArray pendingInput;
    QSocketNotifier stdinNotifier(STDIN_FILENO, QSocketNotifier::Read);
    const bool quitOnEof = parser.isSet(quitOnEofOption);
    QObject::connect(&stdinNotifier, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            stdinNotifier.setEnabled(false);
            if (quitOnEof)
                QCoreApplication::quit();
            return;
        }
        pendingInput.append(buffer, n);
        qsizetype end;
        while ((end = pendingInput.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pendingInput.left(end));
            pendingInput.remove(0, end + 1);
            if (!shell.run(line)) {
                QCoreApplication::quit();
                return;
            }
        }
        if (pendingInput.size() > 1024 * 1024) {
            printLine(QStringLiteral("> command line too long, ignored"));
            pendingInput.clear();
        }
    });

    const int rc = app.exec();
    emulator.stop();
    printLine(QStringLiteral("summary ") + emulator.summaryText());
    return rc;
}
