// pikora-receiver-emulator: a wireless-display receiver for manual runs and the demo.
// Commands are read line by line from standard input (see "help"); replies go to standard
// output, diagnostics to standard error.
#include "ReceiverEmulator.h"
#include "Support/Logging.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <iostream>
#include <unistd.h>

int main(int argc, char** argv)
{
    // QImage's PNG writer needs no display; a core application is enough.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pikora-receiver-emulator"));
    Logging::install();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Emulates a wireless-display receiver on this machine."));
    parser.addHelpOption();
    const QCommandLineOption bind({"b", "bind"}, "Address to listen on (default 127.0.0.1).", "address",
                                  "127.0.0.1");
    const QCommandLineOption name({"n", "name"}, "Receiver host name.", "name", "Pikora-Receiver");
    const QCommandLineOption display("display-name", "Display name (default: the host name).", "text");
    const QCommandLineOption model("model", "Device model.", "model", "VistrelPro");
    const QCommandLineOption vendor("vendor", "Vendor string.", "vendor", "vistrel");
    const QCommandLineOption maxRes("max-resolution", "Largest picture, WIDTHxHEIGHT.", "size", "1920x1080");
    const QCommandLineOption noH264("no-h264", "Announce no H.264 support (senders stream JPEG).");
    const QCommandLineOption passcode("passcode", "Passcode announced in the discovery reply.", "code");
    const QCommandLineOption conference("conference-version", "Conference version (0: none).", "n", "2");
    const QCommandLineOption discovery("discovery-port", "UDP discovery port (0: any).", "port", "63630");
    const QCommandLineOption control("control-port", "TCP control port (0: any).", "port", "63630");
    const QCommandLineOption config("config-port", "HTTP port for pikora_config.json (0: any, -1: off).",
                                    "port", "8080");
    const QCommandLineOption configFirst("config-first-port",
                                         "Second HTTP port for pikora_config.json, the one senders try "
                                         "first (a real receiver's 80; 0: any, -1: off).",
                                         "port", "-1");
    const QCommandLineOption configBody(
        "config-body", "Serve this text as pikora_config.json instead of the generated file.", "text");
    const QCommandLineOption ssid24("ssid-24", "Wi-Fi name (2.4 GHz) in the configuration file.", "ssid");
    const QCommandLineOption ssid5("ssid-5", "Wi-Fi name (5 GHz) in the configuration file.", "ssid");
    const QCommandLineOption snapshot("snapshot", "PNG written with the last decoded picture on exit.",
                                      "path");
    const QCommandLineOption raw("raw-stream", "File receiving the raw H.264 stream.", "path");
    const QCommandLineOption pcmWav("pcm-wav", "WAV file written with the received sound on exit.", "path");
    const QCommandLineOption readRate(
        "read-rate",
        "Read each sender at most RATE bits per second (e.g. 2M; 0: unlimited), "
        "like a receiver behind a slow link.",
        "rate", "0");
    parser.addOption(readRate);
    parser.addOptions({bind, name, display, model, vendor, maxRes, noH264, passcode, conference, discovery,
                       control, config, configFirst, configBody, ssid24, ssid5, snapshot, raw, pcmWav});
    parser.process(app);

    auto port = [&](const QCommandLineOption& o, int min) {
        bool ok = false;
        const int v = parser.value(o).toInt(&ok);
        if (!ok || v < min || v > 65535) {
            std::cerr << "invalid port for --" << o.names().constLast().toStdString() << "\n";
            std::exit(2);
        }
        return v;
    };
    ReceiverEmulatorConfig cfg;
    cfg.bindAddress = QHostAddress(parser.value(bind));
    if (cfg.bindAddress.isNull()) {
        std::cerr << "invalid --bind address\n";
        return 2;
    }
    cfg.name = parser.value(name);
    cfg.displayName = parser.value(display);
    cfg.deviceModel = parser.value(model);
    cfg.vendor = parser.value(vendor);
    const QStringList wh = parser.value(maxRes).split(QLatin1Char('x'));
    if (wh.size() != 2 || wh[0].toInt() <= 0 || wh[1].toInt() <= 0 || wh[0].toInt() > 16384 ||
        wh[1].toInt() > 16384) {
        std::cerr << "invalid --max-resolution (WIDTHxHEIGHT)\n";
        return 2;
    }
    cfg.maxResolution = QSize(wh[0].toInt(), wh[1].toInt());
    cfg.h264 = !parser.isSet(noH264);
    if (parser.isSet(passcode))
        cfg.passcode = parser.value(passcode);
    cfg.conferenceVersion = parser.value(conference).toInt();
    cfg.discoveryPort = port(discovery, 0);
    cfg.controlPort = port(control, 0);
    cfg.configPort = port(config, -1);
    cfg.firstConfigPort = port(configFirst, -1);
    cfg.ssid24 = parser.value(ssid24);
    cfg.ssid5 = parser.value(ssid5);
    cfg.snapshotPath = parser.value(snapshot);
    cfg.rawStreamPath = parser.value(raw);
    cfg.pcmWavPath = parser.value(pcmWav);
    if (const std::optional<qint64> rate = ReceiverEmulator::parseRate(parser.value(readRate)))
        cfg.readRateBitsPerSecond = *rate;
    else {
        std::cerr << "invalid --read-rate (bits per second, e.g. 2M)\n";
        return 2;
    }

    ReceiverEmulator emulator(cfg);
    QString error;
    if (!emulator.start(&error)) {
        std::cerr << "cannot start: " << error.toStdString() << "\n";
        return 1;
    }
    if (parser.isSet(configBody))
        emulator.configCommand(QStringLiteral("body ") + parser.value(configBody));
    std::cout << "listening on " << cfg.bindAddress.toString().toStdString() << " discovery "
              << emulator.discoveryPort() << " control " << emulator.controlPort() << " config "
              << emulator.configPort() << " config-first " << emulator.firstConfigPort() << std::endl;

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) { // end of input: keep serving until terminated
            input.setEnabled(false);
            return;
        }
        pending.append(buffer, size_t(n));
        if (pending.size() > 64 * 1024) {
            std::cout << "error: line too long" << std::endl;
            pending.clear();
            return;
        }
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            const QString line = QString::fromStdString(pending.substr(0, nl));
            pending.erase(0, nl + 1);
            if (line.trimmed() == QLatin1String("quit")) {
                app.quit();
                return;
            }
            const QString reply = emulator.execute(line);
            if (!reply.isEmpty())
                std::cout << reply.toStdString() << std::endl;
        }
    });
    const int rc = app.exec();
    emulator.stop();
    return rc;
}
