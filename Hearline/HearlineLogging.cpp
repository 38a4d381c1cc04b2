#include "Hearline/HearlineLogging.h"

Q_LOGGING_CATEGORY(lcHearline, "hearline")
