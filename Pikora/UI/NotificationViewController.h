#pragma once

#include "Pikora/UI/PairViewController.h"
#include "Pikora/UI/ViewController.h"

#include <QIcon>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QAbstractButton;
class QLabel;
class VerticallyAlignedLabel;

namespace Ui {
class NotificationViewController;
}

// The popover's notification: an image, a message, the application's name and version, and
// the "Device Pairing" button. Message and image may be set before the view exists; they
// are shown once it loads. The button opens the pairing window, created on first use and
// kept; a completed pairing hides it again.
class NotificationViewController : public ViewController, public PairViewControllerDelegate
{
    Q_OBJECT
    Q_PROPERTY(QString message READ message WRITE setMessage NOTIFY messageChanged)
    Q_PROPERTY(QString appVersion READ appVersion CONSTANT)
    Q_PROPERTY(QString appName READ appName CONSTANT)

public:
    explicit NotificationViewController(QObject* parent = nullptr);
    ~NotificationViewController() override;

    QString message() const { return m_message; }
    void setMessage(const QString& message);

    QIcon image() const { return m_image; }
    void setImage(const QIcon& image);

    // "1.0.0(42)": the short version and, in brackets, the build number.
    QString appVersion() const { return m_appVersion; }
    QString appName() const { return m_appName; }

    // What the pairing window needs; without it the "Device Pairing" button opens nothing.
    void setPairingEnvironment(PairViewController::Environment environment);
    // Runs after the "Device Pairing" button opened the window (optional).
    void setPairAction(std::function<void()> action);
    // The "Device Pairing" button: creates the pairing window on first use, shows it.
    void pair();
    // The pairing window's controller, once created.
    PairViewController* vc() const { return m_vc; }

    // PairViewControllerDelegate: hides the pairing window.
    void pairingDidCompleteWithPairViewController(PairViewController* controller) override;

    // Outlets; they exist once the view is loaded.
    QAbstractButton* pairingButton() const;
    QLabel* imageView() const;
    VerticallyAlignedLabel* messageLabel() const;

signals:
    void messageChanged(const QString& message);

protected:
    QWidget* loadView() override;
    void viewDidLoad() override;

private:
    void showImage();

    std::unique_ptr<Ui::NotificationViewController> m_ui;
    QString m_message;
    QIcon m_image;
    QString m_appVersion;
    QString m_appName;
    std::function<void()> m_pairAction;
    std::optional<PairViewController::Environment> m_pairingEnvironment;
    PairViewController* m_vc = nullptr;
};
