#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

// Command-line options of the application. Every default is the product's real value; the
// options exist so that the whole road can also run against emulated peers on loopback.
struct AppOptions
{
    static constexpr const char* kDefaultAccessoryHost = "192.168.204.1";
    static constexpr std::uint16_t kDefaultAccessoryPort = 53630;
    static constexpr std::uint16_t kDefaultConfigFirstPort = 80;
    static constexpr std::uint16_t kDefaultConfigSecondPort = 8080;

    QString usbSimulationDirectory;                // --usb-sim DIR, or PIKORA_USB_SIM_DIR
    QString accessoryHost = kDefaultAccessoryHost; // --accessory-address HOST[:PORT]
    std::uint16_t accessoryPort = kDefaultAccessoryPort;
    std::vector<QHostAddress> scanTargets; // --scan-target ADDRESS (repeatable); empty = broadcast
    std::uint16_t discoveryPort = 0;       // --discovery-port PORT; 0 = the product's port
    // --config-ports FIRST,SECOND: where pairing fetches the receiver's configuration file.
    std::uint16_t configFirstPort = kDefaultConfigFirstPort;
    std::uint16_t configSecondPort = kDefaultConfigSecondPort;
    QString captureBackend; // --capture x11|portal|test-pattern; empty = by the session type
    QString settingsFile;   // --settings FILE
    int runSeconds = 0;     // --run-seconds N: quit after N seconds (0 = run until quit)

    // Parses the arguments (argv[0] included). Returns false and fills `error` on a bad option.
    static bool parse(const QStringList& arguments, AppOptions& out, QString* error);
    // "HOST", "HOST:PORT", "[IPv6]", "[IPv6]:PORT" or a bare IPv6 address. HOST must be an IP
    // address or a valid host name. On success sets `host` (without brackets) and, when
    // given, `port`; otherwise leaves both and says why in `error`.
    static bool parseHostAndPort(const QString& text, QString& host, std::uint16_t& port, QString* error);
    static QString usage();
};
