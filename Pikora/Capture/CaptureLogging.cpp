#include "Pikora/Capture/CaptureLogging.h"

Q_LOGGING_CATEGORY(lcCapture, "pikora.capture")
Q_LOGGING_CATEGORY(lcCompress, "pikora.compress")
