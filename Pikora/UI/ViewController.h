#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QWidget;

// Owns one view that is built on first use, the way a view controller loads its interface
// file lazily: state set before the view exists is kept and applied in viewDidLoad().
// The view is a top-level widget while no popover shows it; the controller deletes it.
class ViewController : public QObject
{
    Q_OBJECT
public:
    explicit ViewController(QObject* parent = nullptr);
    ~ViewController() override;

    // Builds the view on first call.
    QWidget* view();
    bool isViewLoaded() const { return !m_view.isNull(); }

    // A one-line description for diagnostics, "<ClassName: 0x...>".
    virtual QString description() const;

protected:
    // Creates the view (typically from a Qt Designer form). Called once.
    virtual QWidget* loadView() = 0;
    // Runs right after loadView(); state kept before the view existed is applied here.
    virtual void viewDidLoad() {}

private:
    QPointer<QWidget> m_view;
};
