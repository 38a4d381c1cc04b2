#include "Beamline/BeamlineLogging.h"

Q_LOGGING_CATEGORY(lcBeamline, "beamline")
