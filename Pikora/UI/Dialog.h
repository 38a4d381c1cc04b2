#pragma once

#include "Pikora/UI/ViewController.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;
class UserDefaults;

namespace Ui {
class Dialog;
}

// The option dialog shown in the popover: a title, a message, a row of one to three option
// buttons under the message, and the two host-control preference switches. The three button
// rows (`single`, `double`, `tri`) live as long as the dialog; at most one is in the view.
class Dialog : public ViewController
{
    Q_OBJECT
    Q_PROPERTY(QString mainTitle READ mainTitle NOTIFY mainTitleChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(QString autoAllowString READ autoAllowString NOTIFY autoAllowStringChanged)
    Q_PROPERTY(QString dndString READ dndString NOTIFY dndStringChanged)

public:
    using OptionAction = std::function<void(const QString& option)>;
    using OptionActions = QHash<QString, OptionAction>;

    // The switches read and write `defaults`, which must outlive the dialog.
    explicit Dialog(UserDefaults& defaults, QObject* parent = nullptr);
    ~Dialog() override;

    // Lays the dialog out; callable again on a visible dialog to replace its content. A
    // button runs actions[caption] with its caption; a caption without action does nothing.
    // Only one to three options have a button layout: other counts log "error" and show no
    // buttons.
    void setup(const QString& title, const QString& message, const QStringList& options,
               const OptionActions& actions);

    QString mainTitle() const { return m_mainTitle; }
    QString message() const { return m_message; }
    QString autoAllowString() const { return m_autoAllowString; }
    QString dndString() const { return m_dndString; }

    // Outlets; they exist once the view is loaded.
    QLabel* titleLabel() const;
    QLabel* messageLabel() const;
    // The row for `buttonCount` buttons (1 to 3), nullptr for other counts.
    QWidget* container(int buttonCount) const;
    QList<QPushButton*> buttons(int buttonCount) const;
    // The row currently in the view, nullptr when none.
    QWidget* currentContainer() const;
    QCheckBox* autoAllowSwitch() const;
    QCheckBox* dndSwitch() const;

signals:
    void mainTitleChanged(const QString& title);
    void messageChanged(const QString& message);
    void autoAllowStringChanged(const QString& caption);
    void dndStringChanged(const QString& caption);

protected:
    QWidget* loadView() override;
    void viewDidLoad() override;

private:
    void setMainTitle(const QString& title);
    void setMessage(const QString& message);
    void fill(const QStringList& options, const OptionActions& actions, const QList<QPushButton*>& buttons);
    void bindSwitch(QCheckBox* box, const QString& key);

    UserDefaults& m_defaults;
    std::unique_ptr<Ui::Dialog> m_ui;
    QList<QWidget*> m_containers; // single, double, tri
    QString m_mainTitle;
    QString m_message;
    QString m_autoAllowString;
    QString m_dndString;
};
