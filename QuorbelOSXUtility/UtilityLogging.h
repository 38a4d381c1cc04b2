#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcUsb)
Q_DECLARE_LOGGING_CATEGORY(lcDisplay)
Q_DECLARE_LOGGING_CATEGORY(lcAudioDevices)
