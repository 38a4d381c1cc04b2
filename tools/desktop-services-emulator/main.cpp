// pikora-desktop-services-emulator: the screen saver's and login1's inhibitor interfaces on
// whatever D-Bus buses the environment names, for tests and the demo. Each call is printed as
// a line on standard output; "status" prints the counts as one JSON line, "quit" ends.
#include "Login1ManagerService.h"
#include "ScreenSaverService.h"
#include "Support/Logging.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>
#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace {

// Registers one service object on a bus; false (with a message) when the bus or name is not ours.
bool serve(QDBusConnection bus, const QString& service, const QString& path, QObject* object)
{
    if (!bus.isConnected()) {
        std::cerr << "cannot serve " << service.toStdString() << ": "
                  << bus.lastError().message().toStdString() << "\n";
        return false;
    }
    if (!bus.registerObject(path, object, QDBusConnection::ExportAllSlots) || !bus.registerService(service)) {
        std::cerr << "cannot serve " << service.toStdString() << ": "
                  << bus.lastError().message().toStdString() << "\n";
        return false;
    }
    return true;
}

QDBusConnection busNamed(const QString& name, const QString& connectionName)
{
    return QDBusConnection::connectToBus(name == QLatin1String("system") ? QDBusConnection::SystemBus
                                                                         : QDBusConnection::SessionBus,
                                         connectionName);
}

void say(const QString& line)
{
    std::cout << line.toStdString() << std::endl;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pikora-desktop-services-emulator"));
    Logging::install();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays the desktop's screen-saver and login1 inhibitor services on D-Bus."));
    parser.addHelpOption();
    const QCommandLineOption screenSaverBus(
        "screensaver-bus", "Bus for org.freedesktop.ScreenSaver: session or none.", "bus", "session");
    const QCommandLineOption login1Bus(
        "login1-bus", "Bus for org.freedesktop.login1: system, session or none.", "bus", "system");
    parser.addOptions({screenSaverBus, login1Bus});
    parser.process(app);
    const QString ssBus = parser.value(screenSaverBus);
    const QString l1Bus = parser.value(login1Bus);
    if ((ssBus != QLatin1String("session") && ssBus != QLatin1String("none")) ||
        (l1Bus != QLatin1String("system") && l1Bus != QLatin1String("session") &&
         l1Bus != QLatin1String("none"))) {
        std::cerr << "invalid bus name\n";
        return 2;
    }

    ScreenSaverService screenSaver;
    Login1ManagerService login1;
    QObject::connect(&screenSaver, &ScreenSaverService::event, &app, &say);
    QObject::connect(&login1, &Login1ManagerService::event, &app, &say);

    if (ssBus != QLatin1String("none") &&
        !serve(busNamed(ssBus, QStringLiteral("screensaver")), QStringLiteral("org.freedesktop.ScreenSaver"),
               QStringLiteral("/org/freedesktop/ScreenSaver"), &screenSaver))
        return 1;
    if (l1Bus != QLatin1String("none") &&
        !serve(busNamed(l1Bus, QStringLiteral("login1")), QStringLiteral("org.freedesktop.login1"),
               QStringLiteral("/org/freedesktop/login1"), &login1))
        return 1;
    say(QStringLiteral("serving screensaver on %1, login1 on %2").arg(ssBus, l1Bus));

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[512];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false); // end of input: keep serving until terminated
            return;
        }
        pending.append(buffer, size_t(n));
        if (pending.size() > 4096)
            pending.clear(); // no command is that long
        for (size_t eol; (eol = pending.find('\n')) != std::string::npos; pending.erase(0, eol + 1)) {
            const QString command = QString::fromStdString(pending.substr(0, eol)).trimmed();
            if (command == QLatin1String("status")) {
                say(QStringLiteral(
                        "{\"screenSaverHeld\":%1,\"screenSaverInhibits\":%2,\"screenSaverReleases\":%3,"
                        "\"login1Held\":%4,\"login1Inhibits\":%5,\"login1Releases\":%6}")
                        .arg(screenSaver.held())
                        .arg(screenSaver.inhibitCount())
                        .arg(screenSaver.releaseCount())
                        .arg(login1.held())
                        .arg(login1.inhibitCount())
                        .arg(login1.releaseCount()));
            } else if (command == QLatin1String("quit")) {
                QCoreApplication::quit();
            } else if (!command.isEmpty()) {
                std::cerr << "unknown command (status, quit): " << command.toStdString() << "\n";
            }
        }
    });
    return app.exec();
}
