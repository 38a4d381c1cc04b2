#include "Pikora/App/AppOptions.h"

#include <QProcessEnvironment>
#include <QRegularExpression>

namespace {

bool parsePort(const QString& text, std::uint16_t& port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// A host name as DNS allows it: dot-separated labels of letters, digits and inner hyphens.
bool isHostName(const QString& text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(?=.{1,253}\\.?$)[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-"
                       "z0-9-]{0,61}[A-Za-z0-9])?)*\\.?$"));
    return pattern.match(text).hasMatch();
}

} // namespace

bool AppOptions::parseHostAndPort(const QString& text, QString& host, std::uint16_t& port, QString* error)
{
    auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("'%1' is not HOST[:PORT]: %2").arg(text, why);
        return false;
    };
    QString h;
    std::uint16_t p = port;
    if (text.startsWith(QLatin1Char('['))) {
        // [IPv6] or [IPv6]:PORT
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return fail(QStringLiteral("no closing ']'"));
        h = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty() && (!rest.startsWith(QLatin1Char(':')) || !parsePort(rest.mid(1), p)))
            return fail(QStringLiteral("bad port after ']'"));
        if (QHostAddress(h).protocol() != QAbstractSocket::IPv6Protocol)
            return fail(QStringLiteral("'%1' is not an IPv6 address").arg(h));
    } else if (text.count(QLatin1Char(':')) > 1) {
        // A bare IPv6 address (a port needs the brackets).
        h = text;
        if (QHostAddress(h).protocol() != QAbstractSocket::IPv6Protocol)
            return fail(QStringLiteral("not an IPv6 address (write [ADDRESS]:PORT for one with a port)"));
    } else {
        const qsizetype colon = text.indexOf(QLatin1Char(':'));
        h = colon < 0 ? text : text.left(colon);
        if (colon >= 0 && !parsePort(text.mid(colon + 1), p))
            return fail(QStringLiteral("bad port"));
        if (h.isEmpty())
            return fail(QStringLiteral("no host"));
        QHostAddress address;
        if (!address.setAddress(h) && !isHostName(h))
            return fail(QStringLiteral("'%1' is neither an IP address nor a host name").arg(h));
    }
    host = h;
    port = p;
    return true;
}

QString AppOptions::usage()
{
    return QStringLiteral(
        "Usage: Pikora [options]\n"
        "  --usb-sim DIR                 use the simulated USB bus in DIR (also PIKORA_USB_SIM_DIR)\n"
        "  --accessory-address HOST[:PORT]  the accessory's address (default 192.168.204.1:53630;\n"
        "                                [IPv6]:PORT for an IPv6 address with a port)\n"
        "  --scan-target ADDRESS         send discovery to ADDRESS instead of broadcast (repeatable)\n"
        "  --discovery-port PORT         receivers' discovery port (default 63630)\n"
        "  --config-ports FIRST,SECOND   HTTP ports pairing fetches pikora_config.json from, in\n"
        "                                that order (default 80,8080)\n"
        "  --capture x11|portal|test-pattern\n"
        "                                frame source (default: portal in a Wayland session, else x11)\n"
        "  --settings FILE               keep user preferences in FILE\n"
        "  --run-seconds N               quit after N seconds\n");
}

bool AppOptions::parse(const QStringList& arguments, AppOptions& out, QString* error)
{
    auto fail = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };

    out.usbSimulationDirectory =
        QProcessEnvironment::systemEnvironment().value(QStringLiteral("PIKORA_USB_SIM_DIR"));

    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments.at(i);
        QString name = arg;
        QString value;
        bool hasInlineValue = false;
        if (arg.startsWith(QLatin1String("--")) && arg.contains(QLatin1Char('='))) {
            name = arg.section(QLatin1Char('='), 0, 0);
            value = arg.section(QLatin1Char('='), 1);
            hasInlineValue = true;
        }
        auto takeValue = [&](QString& into) {
            if (hasInlineValue) {
                into = value;
                return true;
            }
            if (i + 1 >= arguments.size())
                return false;
            into = arguments.at(++i);
            return true;
        };

        QString v;
        if (name == QLatin1String("--usb-sim")) {
            if (!takeValue(v) || v.isEmpty())
                return fail(QStringLiteral("--usb-sim needs a directory"));
            out.usbSimulationDirectory = v;
        } else if (name == QLatin1String("--accessory-address")) {
            if (!takeValue(v) || v.isEmpty())
                return fail(QStringLiteral("--accessory-address needs HOST[:PORT]"));
            QString why;
            if (!parseHostAndPort(v, out.accessoryHost, out.accessoryPort, &why))
                return fail(QStringLiteral("--accessory-address: %1").arg(why));
        } else if (name == QLatin1String("--scan-target")) {
            if (!takeValue(v))
                return fail(QStringLiteral("--scan-target needs an address"));
            QHostAddress address;
            if (!address.setAddress(v) || address.protocol() != QAbstractSocket::IPv4Protocol)
                return fail(QStringLiteral("--scan-target: '%1' is not an IPv4 address").arg(v));
            out.scanTargets.push_back(address);
        } else if (name == QLatin1String("--discovery-port")) {
            if (!takeValue(v) || !parsePort(v, out.discoveryPort))
                return fail(QStringLiteral("--discovery-port needs a port number"));
        } else if (name == QLatin1String("--config-ports")) {
            const QStringList ports = takeValue(v) ? v.split(QLatin1Char(',')) : QStringList();
            if (ports.size() != 2 || !parsePort(ports[0].trimmed(), out.configFirstPort) ||
                !parsePort(ports[1].trimmed(), out.configSecondPort))
                return fail(QStringLiteral("--config-ports needs two ports, FIRST,SECOND"));
        } else if (name == QLatin1String("--capture")) {
            if (!takeValue(v) || (v != QLatin1String("x11") && v != QLatin1String("test-pattern") &&
                                  v != QLatin1String("portal")))
                return fail(QStringLiteral("--capture takes x11, portal or test-pattern"));
            out.captureBackend = v;
        } else if (name == QLatin1String("--settings")) {
            if (!takeValue(v) || v.isEmpty())
                return fail(QStringLiteral("--settings needs a file"));
            out.settingsFile = v;
        } else if (name == QLatin1String("--run-seconds")) {
            bool ok = false;
            if (!takeValue(v) || (out.runSeconds = v.toInt(&ok), !ok) || out.runSeconds < 0)
                return fail(QStringLiteral("--run-seconds needs a whole number of seconds"));
        } else {
            return fail(QStringLiteral("unknown option '%1'").arg(arg));
        }
    }
    return true;
}
