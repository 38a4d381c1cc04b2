#include "Pikora/Pairing/Ipv4Address.h"

#include <QStringList>

namespace Ipv4Address {

std::optional<QString> normalized(const QString& text)
{
    if (text.size() > 15)
        return std::nullopt;
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    QStringList canonical;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return std::nullopt;
        int value = 0;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return std::nullopt;
            value = value * 10 + (c.unicode() - '0');
        }
        if (value > 255)
            return std::nullopt;
        canonical.append(QString::number(value));
    }
    return canonical.join(QLatin1Char('.'));
}

bool isValidIPAddress(const QString& text)
{
    return normalized(text).has_value();
}

} // namespace Ipv4Address
