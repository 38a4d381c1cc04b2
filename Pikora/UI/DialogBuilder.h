#pragma once

#include "Pikora/UI/Dialog.h"

#include <QString>
#include <QStringList>

// What the next option dialog will show. Title and message persist across commits, so a
// dialog that sets only a title shows the previous message; the options are consumed by
// each commit.
class DialogBuilder
{
public:
    void setTitle(const QString& title) { m_title = title; }
    void setMessage(const QString& message) { m_message = message; }
    // Appends a button captioned `option`; a caption added twice takes two buttons, and both
    // run the block added last.
    void addOption(const QString& option, Dialog::OptionAction block);
    void clearOptions();

    QString title() const { return m_title; }
    QString message() const { return m_message; }
    QStringList buttons() const { return m_buttons; }
    Dialog::OptionActions options() const { return m_options; }

private:
    QString m_title;
    QString m_message;
    QStringList m_buttons;
    Dialog::OptionActions m_options;
};
