#include "Pikora/UI/ActionTrampoline.h"

#include "Pikora/UI/ObjectAssociation.h"

#include <QAbstractButton>

namespace {

ObjectAssociation<ActionTrampoline>& trampolineSlot()
{
    static ObjectAssociation<ActionTrampoline> slot;
    return slot;
}

} // namespace

ActionTrampoline::ActionTrampoline(Action action) : m_action(std::move(action)) {}

void ActionTrampoline::action(QObject* sender)
{
    auto* button = qobject_cast<QAbstractButton*>(sender);
    if (!button)
        qFatal("ActionTrampoline::action: the sender is a %s, not a button",
               sender ? sender->metaObject()->className() : "null object");
    // Keep the closure alive for the whole call even if it replaces this trampoline.
    const Action action = m_action;
    if (action)
        action(button);
}

void ActionTrampoline::attach(QAbstractButton* button)
{
    detach();
    m_connection = connect(button, &QAbstractButton::clicked, this, [this, button] { action(button); });
}

void ActionTrampoline::detach()
{
    if (m_connection)
        disconnect(m_connection);
    m_connection = {};
}

void setActionClosure(QAbstractButton* button, ActionTrampoline::Action action)
{
    if (ActionTrampoline* previous = trampolineSlot().get(button))
        previous->detach();
    auto* trampoline = new ActionTrampoline(std::move(action));
    trampolineSlot().set(button, trampoline);
    trampoline->attach(button);
}

void clearActionTarget(QAbstractButton* button)
{
    if (ActionTrampoline* trampoline = trampolineSlot().get(button))
        trampoline->detach();
}

ActionTrampoline* actionTrampoline(const QAbstractButton* button)
{
    return trampolineSlot().get(button);
}
