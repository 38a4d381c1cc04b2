#pragma once

#include <QColor>
#include <QString>

// The look shared by everything shown in the status item's popover.
namespace PopoverStyle {

// The popover's background, 66/255 grey, over the whole popover including its arrow.
QColor backgroundColor();

// Style sheet applied to the popover window; its content (the notification view, the option
// dialog) inherits it.
QString styleSheet();

} // namespace PopoverStyle
