#pragma once

#include "QuorbelOSXUtility/UsbBus.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

// One device of the simulated USB bus as it is stored in its description file:
//
//   {"vendorId": 1317, "productId": 42146, "product": "PIKORA ECM/RNDIS", "manufacturer": "Pikora",
//    "interfaces": [{"class": 10, "endpoints": [
//        {"address": 129, "type": "bulk", "direction": "in"},
//        {"address": 2, "type": "bulk", "direction": "out"}]}]}
//
// Ids are decimal JSON numbers. "product", "manufacturer" and "interfaces" may be left out. An interface may
// carry "number" (0-255); without it its number is its position in the list. An endpoint's
// "type" is "control", "isochronous", "bulk" or "interrupt"; "direction" is "in" or "out"
// and, when left out, follows bit 7 of the address.
struct SimulatedUsbDescription
{
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    QString product;
    QString manufacturer;
    std::vector<UsbInterface> interfaces;

    bool operator==(const SimulatedUsbDescription& other) const;
};

bool operator==(const UsbEndpoint& a, const UsbEndpoint& b);
bool operator==(const UsbInterface& a, const UsbInterface& b);

namespace SimulatedUsbFormat {

// Description files larger than this are not read (a bus directory is not a place for
// big files, and a reader must never be made to allocate what a writer claims).
constexpr qint64 kMaxDescriptionFileSize = 64 * 1024;

// "NAME.json" and "NAME.ep<address>.out" (address in decimal).
QString descriptionFileName(const QString& name);
QString endpointFileName(const QString& name, std::uint8_t address);
// The device name of a description file name, or an empty string when `fileName` is not one
// (hidden files and anything not ending in ".json", such as temporary files, are not).
QString deviceNameOf(const QString& fileName);

QByteArray toJson(const SimulatedUsbDescription& description);
// Parses a description file's text. Returns false and fills `error` when the text is not
// JSON, not an object, or a member has the wrong type or range.
bool parse(const QByteArray& json, SimulatedUsbDescription& out, QString* error = nullptr);

QString toString(UsbEndpoint::Type type);
QString toString(UsbEndpoint::Direction direction);

} // namespace SimulatedUsbFormat
