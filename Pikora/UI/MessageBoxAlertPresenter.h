#pragma once

#include "Pikora/UI/AlertPresenter.h"

// Modal alerts as warning-style QMessageBoxes that stay above other windows.
class MessageBoxAlertPresenter : public AlertPresenter
{
public:
    int runModal(const QString& messageText, const QString& informativeText,
                 const QStringList& buttons) override;
};
