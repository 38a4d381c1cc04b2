#include "Pikora/Platform/PowerAssertion.h"

QString PowerAssertion::typeName(Type type)
{
    switch (type) {
    case Type::NoDisplaySleep:
        return QStringLiteral("NoDisplaySleepAssertion");
    case Type::NoIdleSleep:
        return QStringLiteral("NoIdleSleepAssertion");
    }
    return QStringLiteral("UnknownAssertion");
}
