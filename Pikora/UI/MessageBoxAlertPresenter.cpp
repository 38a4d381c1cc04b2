#include "Pikora/UI/MessageBoxAlertPresenter.h"

#include <QList>
#include <QMessageBox>
#include <QPushButton>

int MessageBoxAlertPresenter::runModal(const QString& messageText, const QString& informativeText,
                                       const QStringList& buttons)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Pikora"), messageText);
    box.setInformativeText(informativeText);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.setTextFormat(Qt::PlainText);
    QList<QPushButton*> added;
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        // The first button accepts; with more than one, the last one is what Escape presses.
        const bool reject = buttons.size() > 1 && i == buttons.size() - 1;
        added.append(
            box.addButton(buttons.at(i), reject ? QMessageBox::RejectRole : QMessageBox::AcceptRole));
    }
    if (!added.isEmpty())
        box.setDefaultButton(added.first());
    box.exec();
    return static_cast<int>(added.indexOf(qobject_cast<QPushButton*>(box.clickedButton())));
}
