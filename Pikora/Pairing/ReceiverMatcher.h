#pragma once

// Finds the receiver a user meant among the receivers discovery has heard: by its display
// name (ignoring case), or by the last eight characters of its host name appearing anywhere
// in the input (a receiver's Wi-Fi name carries that tail).

#include <QList>
#include <QString>
#include <memory>
#include <optional>

class KPPrototypeDevice;

namespace ReceiverMatcher {

// The address a matching receiver gives. Receivers are tried in list order; the first match
// with an address wins, unless a later match is at the receivers' own access-point address
// kPreferredAddress, which then wins and ends the search. Receivers without a host name or
// display name, or whose host name is shorter than the tail, are skipped. An empty input
// matches nothing.
std::optional<QString> addressFor(const QString& input,
                                  const QList<std::shared_ptr<KPPrototypeDevice>>& receivers);

inline constexpr int kTailLength = 8;
inline const char* const kPreferredAddress = "192.168.168.1";

} // namespace ReceiverMatcher
