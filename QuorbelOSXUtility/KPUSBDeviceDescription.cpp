#include "QuorbelOSXUtility/KPUSBDeviceDescription.h"

#include "QuorbelOSXUtility/KPUSBController.h"
#include "QuorbelOSXUtility/UtilityLogging.h"
#include "Support/Logging.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace {

std::string dumpOf(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

QVariant toVariant(const nlohmann::json& value)
{
    if (value.is_string())
        return QString::fromStdString(value.get<std::string>());
    if (value.is_boolean())
        return value.get<bool>();
    if (value.is_number_unsigned())
        return QVariant::fromValue<qulonglong>(value.get<std::uint64_t>());
    if (value.is_number_integer())
        return QVariant::fromValue<qlonglong>(value.get<std::int64_t>());
    if (value.is_number_float())
        return value.get<double>();
    return QString::fromStdString(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

} // namespace

KPUSBDeviceDescription KPUSBDeviceDescription::parse(const QByteArray& bytes, const QString& origin)
{
    KPUSBDeviceDescription d;
    if (bytes.size() > kMaxFileSize) {
        qCWarning(lcUsb).noquote() << QStringLiteral("device description file %1 is larger than %2 bytes")
                                          .arg(origin)
                                          .arg(kMaxFileSize);
        return d;
    }
    if (bytes.trimmed().isEmpty()) {
        qCWarning(lcUsb).noquote() << QStringLiteral("device description file %1 is empty").arg(origin);
        return d;
    }
    const nlohmann::json root = nlohmann::json::parse(bytes.cbegin(), bytes.cend(), nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        qCWarning(lcUsb).noquote()
            << QStringLiteral("device description file %1 is not a JSON object").arg(origin);
        return d;
    }
    for (auto it = root.begin(); it != root.end(); ++it)
        d.dict.insert(QString::fromStdString(it.key()), toVariant(it.value()));

    auto hexValue = [&](const char* key) -> std::uint32_t {
        const auto it = root.find(key);
        if (it == root.end())
            return 0;
        bool ok = false;
        std::uint32_t value = 0;
        if (it->is_string()) {
            value = getHexIntValue(QString::fromStdString(it->get<std::string>()), &ok);
        } else if (it->is_number_unsigned() && it->get<std::uint64_t>() <= 0xFFFFFFFFull) {
            value = static_cast<std::uint32_t>(it->get<std::uint64_t>());
            ok = true;
        }
        if (!ok)
            qCWarning(lcUsb).noquote()
                << QStringLiteral("device description value \"%1\" = %2 is not hexadecimal; using 0x%3")
                       .arg(QLatin1String(key), Logging::truncatedForLog(dumpOf(*it)))
                       .arg(value, 0, 16);
        return value;
    };
    d.rawVid = hexValue("MASS_STORAGE_VID");
    d.rawPid = hexValue("MASS_STORAGE_PID");
    d.subDisplayVid = hexValue("SUB_DISPLAY_VID");
    d.subDisplayPid = hexValue("SUB_DISPLAY_PID");

    if (const auto rate = root.find("COMPRESSION_RATE"); rate != root.end()) {
        // Read as a double and range-checked before narrowing: a float cannot hold 1e300.
        bool ok = false;
        double value = 0;
        if (rate->is_number()) {
            value = rate->get<double>();
            ok = true;
        } else if (rate->is_string()) {
            value = QString::fromStdString(rate->get<std::string>()).trimmed().toDouble(&ok);
        }
        ok = ok && std::isfinite(value) && std::fabs(value) <= double(std::numeric_limits<float>::max());
        if (ok)
            d.compressionRate = static_cast<float>(value);
        if (!ok) {
            d.compressionRate = 0;
            qCWarning(lcUsb).noquote()
                << QStringLiteral(
                       "device description value \"COMPRESSION_RATE\" = %1 is not a number; using 0")
                       .arg(Logging::truncatedForLog(dumpOf(*rate)));
        }
    }

    auto textValue = [&](const char* key, std::string& out) {
        const auto it = root.find(key);
        if (it == root.end())
            return;
        if (!it->is_string()) {
            qCWarning(lcUsb).noquote()
                << QStringLiteral("device description value \"%1\" = %2 is not text; using \"%3\"")
                       .arg(QLatin1String(key), Logging::truncatedForLog(dumpOf(*it)),
                            QString::fromStdString(out));
            return;
        }
        if (!it->get<std::string>().empty())
            out = it->get<std::string>();
    };
    textValue("USBSCSISTOR_CLASS", d.scsiStorageClass);
    textValue("FRAMEBUFFER_CLASS", d.framebufferClass);
    return d;
}
