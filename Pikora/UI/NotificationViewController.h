#pragma once

#include "Pikora/UI/ViewController.h"

#include <QIcon>
#include <QString>
#include <functional>
#include <memory>

class QAbstractButton;
class QLabel;
class VerticallyAlignedLabel;

namespace Ui {
class NotificationViewController;
}

// The popover's notification: an image, a message, the application's name and version, and
// the "Device Pairing" button. Message and image may be set before the view exists; they
// are shown once it loads.
class NotificationViewController : public ViewController
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

    // What the "Device Pairing" button does.
    void setPairAction(std::function<void()> action);
    void pair();

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
};
