#pragma once

// The pairing window: a prompt, a field for the receiver's name, IP address or Wi-Fi name,
// and OK / Cancel. Enter in the field or OK starts a pairing attempt (PairingFlow); Cancel
// hides the window without stopping an attempt under way. One window is kept and reused, so
// the text typed earlier stays in the field. The window floats above ordinary windows.

#include "Pikora/Pairing/PairingFlow.h"
#include "Pikora/UI/ViewController.h"

#include <QPointer>
#include <QString>
#include <memory>

class HostResolver;
class PairingHost;
class PairViewController;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace Ui {
class PairViewController;
}

class PairViewControllerDelegate
{
public:
    virtual ~PairViewControllerDelegate() = default;
    // A pairing attempt wrote the accessory; the delegate hides the window.
    virtual void pairingDidCompleteWithPairViewController(PairViewController* controller)
    {
        (void)controller;
    }
};

class PairViewController : public ViewController
{
    Q_OBJECT
public:
    // What the window needs to pair: the application side (must outlive the controller),
    // the flow's options and, for tests, a resolver (null: the system resolver).
    struct Environment
    {
        PairingHost* host = nullptr;
        PairingFlow::Options options;
        std::shared_ptr<HostResolver> resolver;
    };

    explicit PairViewController(Environment environment, QObject* parent = nullptr);
    ~PairViewController() override;

    void setDelegate(PairViewControllerDelegate* delegate) { m_delegate = delegate; }
    PairViewControllerDelegate* delegate() const { return m_delegate; }

    // Puts the view into the window (once), raises the window above ordinary windows, makes
    // it active and centres it on the screen.
    void showWindow();

    // The actions: Enter in the field, OK, Cancel.
    void didEnter(QObject* sender);
    void OKClick();
    void CancelClick();

    // The pairing flow's operations.
    void tryPairing(const QString& userInput);
    void pullPikoraJSONData(const QString& address, PikoraConfigFetcher::DataCompletion complete);
    void pullPikoraJSON(const QString& address, PikoraConfigFetcher::JsonCompletion complete);

    PairingFlow& flow() { return *m_flow; }

    // The window and the outlets; the outlets exist once the view is loaded.
    QWidget* window() const { return m_window; }
    QLabel* mainMessageLabel() const;
    QPushButton* OKButton() const;
    QPushButton* CancelButton() const;
    QLineEdit* textfield() const;

    // The texts, as shown.
    static QString windowTitle();
    static QString promptText();
    static QString startNotificationText();

protected:
    QWidget* loadView() override;
    void viewDidLoad() override;

private:
    void startPairing(const QString& text);

    Environment m_env;
    PairViewControllerDelegate* m_delegate = nullptr;
    PairingFlow* m_flow = nullptr;
    std::unique_ptr<Ui::PairViewController> m_ui;
    QPointer<QWidget> m_window;
};
