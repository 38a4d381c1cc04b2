#pragma once

#include "Pikora/Platform/PowerAssertion.h"

#include <QList>
#include <map>

// Power assertions for tests: records every create and release, and can be told to fail.
class FakePowerAssertion : public PowerAssertion
{
public:
    struct Created
    {
        Type type;
        QString name;
        Result result;
    };

    // Every create() of this type fails with `error` from now on (Error::None: succeeds again).
    void setFailure(Type type, Error error);

    const QList<Created>& created() const { return m_created; }
    // Every release() call, held or not, in order.
    const QList<Id>& releaseCalls() const { return m_releaseCalls; }
    bool isHeld(Id id) const { return m_held.count(id) != 0; }
    // How many assertions of `type` are held now.
    int heldCount(Type type) const;
    int heldCount() const { return static_cast<int>(m_held.size()); }

    Result create(Type type, const QString& name) override;
    bool release(Id id) override;

private:
    std::map<Type, Error> m_failures;
    std::map<Id, Type> m_held;
    Id m_nextId = 1;
    QList<Created> m_created;
    QList<Id> m_releaseCalls;
};
