#pragma once

// The device-description file's settings, parsed from its bytes (see KPUSBController for the
// keys). Parsing never throws and never fails: a value of the wrong form is reported with one
// diagnostic line and gives its default, as does a file that is empty, too large or no JSON
// object.

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <string>

struct KPUSBDeviceDescription
{
    static constexpr qint64 kMaxFileSize = 64 * 1024;

    QVariantMap dict; // every top-level member, as read
    std::uint32_t rawVid = 0;
    std::uint32_t rawPid = 0;
    std::uint32_t subDisplayVid = 0;
    std::uint32_t subDisplayPid = 0;
    float compressionRate = 0;
    std::string scsiStorageClass = "usbscsistor";
    std::string framebufferClass = "myframebuffer_driver";

    // `origin` names the file in diagnostics.
    static KPUSBDeviceDescription parse(const QByteArray& bytes, const QString& origin);
};
