#include "Pikora/UI/UiLogging.h"

Q_LOGGING_CATEGORY(lcUi, "pikora.ui")
