#include "Pikora/UI/PairViewController.h"

#include "Pikora/Pairing/PairingHost.h"
#include "Pikora/UI/PopoverStyle.h"
#include "Pikora/UI/UiLogging.h"
#include "ui_PairViewController.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace {

// The window's own look: the popover's colours, button titles in white.
QString windowStyleSheet()
{
    return PopoverStyle::styleSheet() + QStringLiteral(R"(
QWidget#pairingWindow { background-color: %1; }
QLineEdit {
    color: #ffffff; background-color: #2e2e2e; font-size: 14px;
    border: 1px solid #6c6c6c; border-radius: 5px; padding: 5px 8px;
}
QLineEdit:focus { border-color: #3d9bff; }
)")
                                            .arg(PopoverStyle::backgroundColor().name());
}

} // namespace

PairViewController::PairViewController(Environment environment, QObject* parent)
    : ViewController(parent), m_env(std::move(environment))
{
    Q_ASSERT(m_env.host);
    m_flow = new PairingFlow(*m_env.host, m_env.resolver, m_env.options, this);
    connect(m_flow, &PairingFlow::paired, this, [this] {
        if (m_delegate)
            m_delegate->pairingDidCompleteWithPairViewController(this);
    });

    // A window of its own that floats above ordinary windows, like a modal panel, without
    // blocking the rest of the application.
    m_window = new QWidget(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint);
    m_window->setObjectName(QStringLiteral("pairingWindow"));
    m_window->setAttribute(Qt::WA_StyledBackground, true);
    m_window->setWindowTitle(windowTitle());
    m_window->setStyleSheet(windowStyleSheet());
    auto* content = new QVBoxLayout(m_window);
    content->setContentsMargins(0, 0, 0, 0);
}

PairViewController::~PairViewController()
{
    // The view goes with the window when it is inside it.
    delete m_window.data();
}

QString PairViewController::windowTitle()
{
    static const QString title = tr("Pairing\u00A0with\u00A0Vistrel Pro Device");
    return title;
}

QString PairViewController::promptText()
{
    static const QString prompt = tr("Please input Vistrel Pro's Name/IP/SSID");
    return prompt;
}

QString PairViewController::startNotificationText()
{
    static const QString text = tr("Pairing\u00A0Pikora\u00A0with\u00A0Vistrel Pro Device");
    return text;
}

QWidget* PairViewController::loadView()
{
    auto* view = new QWidget;
    m_ui = std::make_unique<Ui::PairViewController>();
    m_ui->setupUi(view);
    return view;
}

void PairViewController::viewDidLoad()
{
    if (m_window)
        m_window->setWindowTitle(windowTitle());
    m_ui->mainMessageLabel->setText(promptText());
    m_ui->OKButton->setText(tr("OK"));
    m_ui->CancelButton->setText(tr("Cancel"));
    // Button titles are white (the window's style sheet).
    connect(m_ui->textfield, &QLineEdit::returnPressed, this, [this] { didEnter(m_ui->textfield); });
    connect(m_ui->OKButton, &QPushButton::clicked, this, &PairViewController::OKClick);
    connect(m_ui->CancelButton, &QPushButton::clicked, this, &PairViewController::CancelClick);
}

void PairViewController::showWindow()
{
    if (!m_window)
        return;
    QWidget* content = view();
    if (content->parentWidget() != m_window) {
        content->setParent(m_window);
        m_window->layout()->addWidget(content);
        content->show();
    }
    m_window->adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = m_window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        m_window->move(frame.topLeft());
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    m_ui->textfield->setFocus(Qt::OtherFocusReason);
}

void PairViewController::didEnter(QObject* sender)
{
    auto* field = qobject_cast<QLineEdit*>(sender);
    if (!field)
        return;
    startPairing(field->text());
}

void PairViewController::OKClick()
{
    if (!m_ui || !m_ui->textfield)
        return;
    startPairing(m_ui->textfield->text());
}

void PairViewController::CancelClick()
{
    if (m_window)
        m_window->hide();
}

void PairViewController::startPairing(const QString& text)
{
    m_env.host->showUserNotification(startNotificationText());
    tryPairing(text);
}

void PairViewController::tryPairing(const QString& userInput)
{
    m_flow->tryPairing(userInput);
}

void PairViewController::pullPikoraJSONData(const QString& address,
                                            PikoraConfigFetcher::DataCompletion complete)
{
    m_flow->fetcher().pullPikoraJSONData(address, std::move(complete));
}

void PairViewController::pullPikoraJSON(const QString& address, PikoraConfigFetcher::JsonCompletion complete)
{
    m_flow->fetcher().pullPikoraJSON(address, std::move(complete));
}

QLabel* PairViewController::mainMessageLabel() const
{
    return m_ui ? m_ui->mainMessageLabel : nullptr;
}

QPushButton* PairViewController::OKButton() const
{
    return m_ui ? m_ui->OKButton : nullptr;
}

QPushButton* PairViewController::CancelButton() const
{
    return m_ui ? m_ui->CancelButton : nullptr;
}

QLineEdit* PairViewController::textfield() const
{
    return m_ui ? m_ui->textfield : nullptr;
}
