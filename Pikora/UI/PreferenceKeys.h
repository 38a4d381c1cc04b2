#pragma once

#include <QString>

// User-defaults keys of the two host-control preferences the option dialog's switches write.
inline const QString kVistrelPreferenceAllowRequest = QStringLiteral("kVistrelPreferenceAllowRequest");
inline const QString kVistrelPreferenceDoNotDisturb = QStringLiteral("kVistrelPreferenceDoNotDisturb");
