#include "Pikora/UI/Dialog.h"

#include "Pikora/UI/ActionTrampoline.h"
#include "Pikora/UI/PreferenceKeys.h"
#include "Pikora/UI/UiLogging.h"
#include "Support/UserDefaults.h"
#include "ui_Dialog.h"

#include <QSignalBlocker>

Dialog::Dialog(UserDefaults& defaults, QObject* parent) : ViewController(parent), m_defaults(defaults) {}

Dialog::~Dialog()
{
    // Rows outside the view have no parent; the one in the view goes with the view.
    for (QWidget* container : std::as_const(m_containers)) {
        if (!container->parentWidget())
            delete container;
    }
}

QWidget* Dialog::loadView()
{
    auto* view = new QWidget;
    m_ui = std::make_unique<Ui::Dialog>();
    m_ui->setupUi(view);
    // The form holds every row so that they can be designed; the dialog keeps them out of
    // the view until setup() picks one.
    m_containers = {m_ui->single, m_ui->double_, m_ui->tri};
    for (QWidget* container : std::as_const(m_containers)) {
        m_ui->rootLayout->removeWidget(container);
        container->setParent(nullptr);
    }
    return view;
}

void Dialog::viewDidLoad()
{
    connect(this, &Dialog::mainTitleChanged, m_ui->titleLabel, [label = m_ui->titleLabel](const QString& t) {
        label->setText(t);
        label->setVisible(!t.isEmpty());
    });
    connect(this, &Dialog::messageChanged, m_ui->messageLabel, &QLabel::setText);
    connect(this, &Dialog::autoAllowStringChanged, m_ui->autoAllowSwitch, &QCheckBox::setText);
    connect(this, &Dialog::dndStringChanged, m_ui->dndSwitch, &QCheckBox::setText);
    m_ui->titleLabel->setText(m_mainTitle);
    m_ui->titleLabel->setVisible(!m_mainTitle.isEmpty());
    m_ui->messageLabel->setText(m_message);

    m_autoAllowString = tr("Allow requests automatically");
    emit autoAllowStringChanged(m_autoAllowString);
    m_dndString = tr("Do not disturb");
    emit dndStringChanged(m_dndString);

    bindSwitch(m_ui->autoAllowSwitch, kVistrelPreferenceAllowRequest);
    bindSwitch(m_ui->dndSwitch, kVistrelPreferenceDoNotDisturb);
}

void Dialog::bindSwitch(QCheckBox* box, const QString& key)
{
    box->setChecked(m_defaults.boolForKey(key));
    connect(box, &QCheckBox::toggled, this, [this, key](bool on) { m_defaults.setBool(key, on); });
    // Whoever else changes the preference (the host-control policy), the switch follows.
    m_defaults.observe(key, box, [box](const QVariant& value) {
        const QSignalBlocker blocker(box);
        box->setChecked(value.toBool());
    });
}

void Dialog::setMainTitle(const QString& title)
{
    if (title == m_mainTitle)
        return;
    m_mainTitle = title;
    emit mainTitleChanged(title);
}

void Dialog::setMessage(const QString& message)
{
    if (message == m_message)
        return;
    m_message = message;
    emit messageChanged(message);
}

void Dialog::setup(const QString& title, const QString& message, const QStringList& options,
                   const OptionActions& actions)
{
    view(); // the rows and buttons exist from here on
    setMainTitle(title);
    setMessage(message);

    for (QWidget* container : std::as_const(m_containers)) {
        if (container->parentWidget()) {
            m_ui->rootLayout->removeWidget(container);
            container->setParent(nullptr);
        }
    }
    for (int count = 1; count <= 3; ++count) {
        for (QPushButton* button : buttons(count))
            clearActionTarget(button);
    }

    QWidget* row = container(options.size());
    if (!row) {
        qCWarning(lcUi, "error");
        return;
    }
    fill(options, actions, buttons(options.size()));
    // The row hangs right under the message and spans the dialog's width.
    m_ui->rootLayout->insertWidget(m_ui->rootLayout->indexOf(m_ui->messageLabel) + 1, row);
    row->show();
}

void Dialog::fill(const QStringList& options, const OptionActions& actions,
                  const QList<QPushButton*>& buttons)
{
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        const QString caption = options.at(i);
        buttons.at(i)->setText(caption);
        setActionClosure(buttons.at(i), [caption, actions](QAbstractButton*) {
            const auto found = actions.constFind(caption);
            if (found != actions.constEnd() && found.value())
                found.value()(caption);
        });
    }
}

QLabel* Dialog::titleLabel() const
{
    return m_ui ? m_ui->titleLabel : nullptr;
}

QLabel* Dialog::messageLabel() const
{
    return m_ui ? m_ui->messageLabel : nullptr;
}

QWidget* Dialog::container(int buttonCount) const
{
    if (!m_ui || buttonCount < 1 || buttonCount > 3)
        return nullptr;
    return m_containers.at(buttonCount - 1);
}

QList<QPushButton*> Dialog::buttons(int buttonCount) const
{
    if (!m_ui)
        return {};
    switch (buttonCount) {
    case 1:
        return {m_ui->_1_1};
    case 2:
        return {m_ui->_2_1, m_ui->_2_2};
    case 3:
        return {m_ui->_3_1, m_ui->_3_2, m_ui->_3_3};
    default:
        return {};
    }
}

QWidget* Dialog::currentContainer() const
{
    for (QWidget* container : m_containers) {
        if (container->parentWidget())
            return container;
    }
    return nullptr;
}

QCheckBox* Dialog::autoAllowSwitch() const
{
    return m_ui ? m_ui->autoAllowSwitch : nullptr;
}

QCheckBox* Dialog::dndSwitch() const
{
    return m_ui ? m_ui->dndSwitch : nullptr;
}
