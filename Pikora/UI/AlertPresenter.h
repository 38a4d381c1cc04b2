#pragma once

#include <QString>
#include <QStringList>

// Runs modal alerts. The product shows message boxes; tests install a presenter that answers.
class AlertPresenter
{
public:
    virtual ~AlertPresenter() = default;

    // Shows a modal warning alert with `messageText` in bold, `informativeText` under it and
    // `buttons` (the first is the default). Returns the index of the pressed button, or -1
    // when the alert was closed without one.
    virtual int runModal(const QString& messageText, const QString& informativeText,
                         const QStringList& buttons) = 0;
};
