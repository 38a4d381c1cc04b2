#include "QuorbelOSXUtility/SimulatedUsbFormat.h"

#include <nlohmann/json.hpp>
#include <optional>

bool operator==(const UsbEndpoint& a, const UsbEndpoint& b)
{
    return a.address == b.address && a.type == b.type && a.direction == b.direction;
}

bool operator==(const UsbInterface& a, const UsbInterface& b)
{
    return a.number == b.number && a.interfaceClass == b.interfaceClass && a.endpoints == b.endpoints;
}

bool SimulatedUsbDescription::operator==(const SimulatedUsbDescription& other) const
{
    return vendorId == other.vendorId && productId == other.productId && product == other.product &&
           manufacturer == other.manufacturer && interfaces == other.interfaces;
}

namespace SimulatedUsbFormat {

namespace {

const char* const kTypeNames[] = {"control", "isochronous", "bulk", "interrupt"};
const UsbEndpoint::Type kTypes[] = {UsbEndpoint::Type::Control, UsbEndpoint::Type::Isochronous,
                                    UsbEndpoint::Type::Bulk, UsbEndpoint::Type::Interrupt};

bool fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return false;
}

// An integer member within [0, max]; nullopt with `error` filled otherwise.
std::optional<unsigned> integerMember(const nlohmann::json& object, const char* key, unsigned max,
                                      const QString& where, QString* error)
{
    const auto it = object.find(key);
    if (it == object.end()) {
        fail(error, QStringLiteral("%1: \"%2\" is missing").arg(where, QLatin1String(key)));
        return std::nullopt;
    }
    if (it->is_number_unsigned() && it->get<std::uint64_t>() <= max)
        return static_cast<unsigned>(it->get<std::uint64_t>());
    if (it->is_number_integer() && !it->is_number_unsigned() && it->get<std::int64_t>() >= 0 &&
        it->get<std::int64_t>() <= static_cast<std::int64_t>(max))
        return static_cast<unsigned>(it->get<std::int64_t>());
    fail(
        error,
        QStringLiteral("%1: \"%2\" must be an integer from 0 to %3").arg(where, QLatin1String(key)).arg(max));
    return std::nullopt;
}

bool parseEndpoint(const nlohmann::json& value, const QString& where, UsbEndpoint& out, QString* error)
{
    if (!value.is_object())
        return fail(error, QStringLiteral("%1 is not an object").arg(where));
    const auto address = integerMember(value, "address", 255, where, error);
    if (!address)
        return false;
    out.address = static_cast<std::uint8_t>(*address);

    const auto type = value.find("type");
    if (type == value.end() || !type->is_string())
        return fail(error, QStringLiteral("%1: \"type\" must be a string").arg(where));
    const std::string typeName = type->get<std::string>();
    bool known = false;
    for (std::size_t i = 0; i < std::size(kTypeNames); ++i) {
        if (typeName == kTypeNames[i]) {
            out.type = kTypes[i];
            known = true;
        }
    }
    if (!known)
        return fail(error,
                    QStringLiteral("%1: unknown type \"%2\"").arg(where, QString::fromStdString(typeName)));

    const auto direction = value.find("direction");
    if (direction == value.end()) {
        out.direction = (out.address & 0x80) ? UsbEndpoint::Direction::In : UsbEndpoint::Direction::Out;
    } else if (direction->is_string() && direction->get<std::string>() == "in") {
        out.direction = UsbEndpoint::Direction::In;
    } else if (direction->is_string() && direction->get<std::string>() == "out") {
        out.direction = UsbEndpoint::Direction::Out;
    } else {
        return fail(error, QStringLiteral("%1: \"direction\" must be \"in\" or \"out\"").arg(where));
    }
    return true;
}

bool parseInterface(const nlohmann::json& value, std::size_t index, UsbInterface& out, QString* error)
{
    const QString where = QStringLiteral("interface %1").arg(index);
    if (!value.is_object())
        return fail(error, QStringLiteral("%1 is not an object").arg(where));
    const auto cls = integerMember(value, "class", 255, where, error);
    if (!cls)
        return false;
    out.interfaceClass = static_cast<std::uint8_t>(*cls);
    if (value.contains("number")) {
        const auto number = integerMember(value, "number", 255, where, error);
        if (!number)
            return false;
        out.number = static_cast<std::uint8_t>(*number);
    } else {
        if (index > 255)
            return fail(error, QStringLiteral("too many interfaces"));
        out.number = static_cast<std::uint8_t>(index);
    }
    out.endpoints.clear();
    const auto endpoints = value.find("endpoints");
    if (endpoints == value.end())
        return true;
    if (!endpoints->is_array())
        return fail(error, QStringLiteral("%1: \"endpoints\" is not a list").arg(where));
    for (std::size_t i = 0; i < endpoints->size(); ++i) {
        UsbEndpoint endpoint;
        if (!parseEndpoint((*endpoints)[i], QStringLiteral("%1 endpoint %2").arg(where).arg(i), endpoint,
                           error))
            return false;
        out.endpoints.push_back(endpoint);
    }
    return true;
}

} // namespace

QString descriptionFileName(const QString& name)
{
    return name + QStringLiteral(".json");
}

QString endpointFileName(const QString& name, std::uint8_t address)
{
    return QStringLiteral("%1.ep%2.out").arg(name).arg(address);
}

QString deviceNameOf(const QString& fileName)
{
    static const QString suffix = QStringLiteral(".json");
    if (fileName.startsWith(QLatin1Char('.')) || !fileName.endsWith(suffix) ||
        fileName.size() == suffix.size())
        return {};
    return fileName.left(fileName.size() - suffix.size());
}

QString toString(UsbEndpoint::Type type)
{
    for (std::size_t i = 0; i < std::size(kTypes); ++i) {
        if (kTypes[i] == type)
            return QLatin1String(kTypeNames[i]);
    }
    return {};
}

QString toString(UsbEndpoint::Direction direction)
{
    return direction == UsbEndpoint::Direction::In ? QStringLiteral("in") : QStringLiteral("out");
}

QByteArray toJson(const SimulatedUsbDescription& description)
{
    nlohmann::ordered_json root;
    root["vendorId"] = description.vendorId;
    root["productId"] = description.productId;
    root["product"] = description.product.toStdString();
    if (!description.manufacturer.isEmpty())
        root["manufacturer"] = description.manufacturer.toStdString();
    if (!description.interfaces.empty()) {
        auto interfaces = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < description.interfaces.size(); ++i) {
            const UsbInterface& in = description.interfaces[i];
            nlohmann::ordered_json interface;
            interface["class"] = in.interfaceClass;
            if (in.number != i)
                interface["number"] = in.number;
            auto endpoints = nlohmann::ordered_json::array();
            for (const UsbEndpoint& e : in.endpoints) {
                nlohmann::ordered_json endpoint;
                endpoint["address"] = e.address;
                endpoint["type"] = toString(e.type).toStdString();
                endpoint["direction"] = toString(e.direction).toStdString();
                endpoints.push_back(std::move(endpoint));
            }
            interface["endpoints"] = std::move(endpoints);
            interfaces.push_back(std::move(interface));
        }
        root["interfaces"] = std::move(interfaces);
    }
    return QByteArray::fromStdString(root.dump()) + '\n';
}

bool parse(const QByteArray& json, SimulatedUsbDescription& out, QString* error)
{
    if (json.size() > kMaxDescriptionFileSize)
        return fail(error, QStringLiteral("larger than %1 bytes").arg(kMaxDescriptionFileSize));
    const nlohmann::json root = nlohmann::json::parse(json.cbegin(), json.cend(), nullptr, false);
    if (root.is_discarded())
        return fail(error,
                    json.trimmed().isEmpty() ? QStringLiteral("empty") : QStringLiteral("not valid JSON"));
    if (!root.is_object())
        return fail(error, QStringLiteral("not a JSON object"));

    SimulatedUsbDescription result;
    const auto vendorId = integerMember(root, "vendorId", 0xFFFF, QStringLiteral("device"), error);
    if (!vendorId)
        return false;
    const auto productId = integerMember(root, "productId", 0xFFFF, QStringLiteral("device"), error);
    if (!productId)
        return false;
    result.vendorId = static_cast<std::uint16_t>(*vendorId);
    result.productId = static_cast<std::uint16_t>(*productId);

    if (const auto product = root.find("product"); product != root.end()) {
        if (!product->is_string())
            return fail(error, QStringLiteral("\"product\" is not a string"));
        result.product = QString::fromStdString(product->get<std::string>());
    }
    if (const auto manufacturer = root.find("manufacturer"); manufacturer != root.end()) {
        if (!manufacturer->is_string())
            return fail(error, QStringLiteral("\"manufacturer\" is not a string"));
        result.manufacturer = QString::fromStdString(manufacturer->get<std::string>());
    }
    if (const auto interfaces = root.find("interfaces"); interfaces != root.end()) {
        if (!interfaces->is_array())
            return fail(error, QStringLiteral("\"interfaces\" is not a list"));
        for (std::size_t i = 0; i < interfaces->size(); ++i) {
            UsbInterface interface;
            if (!parseInterface((*interfaces)[i], i, interface, error))
                return false;
            result.interfaces.push_back(std::move(interface));
        }
    }
    out = std::move(result);
    return true;
}

} // namespace SimulatedUsbFormat
