#pragma once

#include <QString>
#include <optional>

// Dotted IPv4 addresses as the user or a peer writes them.
namespace Ipv4Address {

// True only for four dot-separated decimal numbers of one to three digits, each 0 to 255
// ("192.168.1.20"). Shorthands that inet_aton would take ("10.1", "0x7f.1") are not addresses.
bool isValidIPAddress(const QString& text);

// The canonical form ("192.168.001.020" -> "192.168.1.20"), or nothing when not valid.
std::optional<QString> normalized(const QString& text);

} // namespace Ipv4Address
