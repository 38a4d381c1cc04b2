#include "Pikora/UI/NotificationViewController.h"

#include "Pikora/UI/UiLogging.h"
#include "Pikora/UI/VerticallyAlignedLabel.h"
#include "Support/BundleInfo.h"
#include "ui_NotificationViewController.h"

#include <QCoreApplication>
#include <QWidget>

namespace {

QString bundleName()
{
    QString name = BundleInfo::main().stringValue(QStringLiteral("CFBundleName"));
    if (name.isEmpty())
        name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("Pikora") : name;
}

} // namespace

NotificationViewController::NotificationViewController(QObject* parent)
    : ViewController(parent), m_appVersion(BundleInfo::main().versionWithBuild()), m_appName(bundleName())
{
}

NotificationViewController::~NotificationViewController() = default;

QWidget* NotificationViewController::loadView()
{
    auto* view = new QWidget;
    m_ui = std::make_unique<Ui::NotificationViewController>();
    m_ui->setupUi(view);
    return view;
}

void NotificationViewController::viewDidLoad()
{
    m_ui->pairingButton->setText(tr("Device Pairing"));
    connect(m_ui->pairingButton, &QAbstractButton::clicked, this, &NotificationViewController::pair);
    m_ui->appNameLabel->setText(m_appName);
    m_ui->appVersionLabel->setText(m_appVersion);
    m_ui->messageLabel->setText(m_message);
    connect(this, &NotificationViewController::messageChanged, m_ui->messageLabel, &QLabel::setText);
    showImage();
}

void NotificationViewController::setMessage(const QString& message)
{
    // A null and an empty message read the same; only real changes are announced.
    if (message == m_message && message.isNull() == m_message.isNull())
        return;
    m_message = message;
    emit messageChanged(m_message);
}

void NotificationViewController::setImage(const QIcon& image)
{
    m_image = image;
    if (m_ui)
        showImage();
}

void NotificationViewController::showImage()
{
    QLabel* view = m_ui->imageView;
    if (m_image.isNull()) {
        view->clear();
        view->hide();
        return;
    }
    view->setPixmap(m_image.pixmap(view->maximumSize(), view->devicePixelRatioF()));
    view->show();
}

void NotificationViewController::setPairAction(std::function<void()> action)
{
    m_pairAction = std::move(action);
}

void NotificationViewController::setPairingEnvironment(PairViewController::Environment environment)
{
    m_pairingEnvironment = std::move(environment);
}

void NotificationViewController::pair()
{
    if (!m_vc) {
        if (m_pairingEnvironment && m_pairingEnvironment->host) {
            m_vc = new PairViewController(*m_pairingEnvironment, this);
            m_vc->setDelegate(this);
        } else {
            qCInfo(lcUi) << "pair: pairing is not set up";
        }
    }
    if (m_vc)
        m_vc->showWindow();
    if (m_pairAction)
        m_pairAction();
}

void NotificationViewController::pairingDidCompleteWithPairViewController(PairViewController*)
{
    if (m_vc && m_vc->window())
        m_vc->window()->hide();
}

QAbstractButton* NotificationViewController::pairingButton() const
{
    return m_ui ? m_ui->pairingButton : nullptr;
}

QLabel* NotificationViewController::imageView() const
{
    return m_ui ? m_ui->imageView : nullptr;
}

VerticallyAlignedLabel* NotificationViewController::messageLabel() const
{
    return m_ui ? m_ui->messageLabel : nullptr;
}
