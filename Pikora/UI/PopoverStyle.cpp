#include "Pikora/UI/PopoverStyle.h"

namespace PopoverStyle {

QColor backgroundColor()
{
    static const QColor color = QColor::fromRgbF(66.0f / 255.0f, 66.0f / 255.0f, 66.0f / 255.0f, 1.0f);
    return color;
}

QString styleSheet()
{
    return QStringLiteral(R"(
QLabel { color: #e8e8e8; font-size: 13px; }
QLabel#titleLabel { color: #ffffff; font-size: 15px; font-weight: bold; }
QLabel#messageLabel { color: #e8e8e8; font-size: 14px; }
QLabel#appNameLabel { color: #ffffff; font-size: 13px; font-weight: bold; }
QLabel#appVersionLabel { color: #a8a8a8; font-size: 12px; }
QWidget#bodyBgView { background-color: #363636; border-radius: 8px; }
QFrame#separator { background-color: #555555; border: none; min-height: 1px; max-height: 1px; }
QPushButton {
    color: #ffffff; font-size: 13px;
    background-color: #5c5c5c; border: 1px solid #6c6c6c; border-radius: 6px;
    padding: 5px 14px; min-height: 20px;
}
QPushButton:hover { background-color: #676767; border-color: #7a7a7a; }
QPushButton:pressed { background-color: #4b4b4b; }
QPushButton:focus { border-color: #3d9bff; }
QCheckBox { color: #e8e8e8; font-size: 13px; spacing: 10px; }
QCheckBox::indicator { width: 36px; height: 20px; }
QCheckBox::indicator:unchecked { image: url(:/images/switch-off.svg); }
QCheckBox::indicator:checked { image: url(:/images/switch-on.svg); }
QCheckBox:focus { outline: none; }
)");
}

} // namespace PopoverStyle
