#pragma once

#include <QLoggingCategory>

// Logging: every module declares its own categories (Q_DECLARE_LOGGING_CATEGORY in the
// module, named "pikora.<module>"). Diagnostics go to standard error as single lines.
namespace Logging {
// Installs the line format "[category] message" (with the time) for the process.
void install();
} // namespace Logging

Q_DECLARE_LOGGING_CATEGORY(lcDispatch)
Q_DECLARE_LOGGING_CATEGORY(lcSupport)
