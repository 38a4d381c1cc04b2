#pragma once

#include <QMetaObject>
#include <QObject>
#include <functional>

class QAbstractButton;

// Lets a button run a closure as its action. The trampoline holds the closure and is kept
// by the button (see setActionClosure); clicked() reaches it through one connection that
// detach() cuts without releasing the closure.
class ActionTrampoline : public QObject
{
    Q_OBJECT
public:
    using Action = std::function<void(QAbstractButton*)>;

    explicit ActionTrampoline(Action action);
    ActionTrampoline() = delete;

    // Runs the closure for `sender`, which must be a button.
    void action(QObject* sender);

    void attach(QAbstractButton* button);
    void detach();
    bool isAttached() const { return static_cast<bool>(m_connection); }

private:
    Action m_action;
    QMetaObject::Connection m_connection;
};

// Makes `button` run `action` when clicked, replacing (and releasing) the closure a previous
// call installed. Safe to call from inside the button's current action.
void setActionClosure(QAbstractButton* button, ActionTrampoline::Action action);

// The button no longer runs its closure; the closure itself stays until it is replaced.
void clearActionTarget(QAbstractButton* button);

// The trampoline `button` keeps, or nullptr.
ActionTrampoline* actionTrampoline(const QAbstractButton* button);
