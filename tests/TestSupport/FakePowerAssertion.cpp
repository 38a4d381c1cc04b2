#include "tests/TestSupport/FakePowerAssertion.h"

void FakePowerAssertion::setFailure(Type type, Error error)
{
    if (error == Error::None)
        m_failures.erase(type);
    else
        m_failures[type] = error;
}

int FakePowerAssertion::heldCount(Type type) const
{
    int count = 0;
    for (const auto& [id, heldType] : m_held)
        count += heldType == type ? 1 : 0;
    return count;
}

PowerAssertion::Result FakePowerAssertion::create(Type type, const QString& name)
{
    Result result;
    const auto failure = m_failures.find(type);
    if (failure != m_failures.end()) {
        result.error = failure->second;
        result.message = QStringLiteral("simulated failure");
    } else {
        result.ok = true;
        result.id = m_nextId++;
        m_held.emplace(result.id, type);
    }
    m_created.append({type, name, result});
    return result;
}

bool FakePowerAssertion::release(Id id)
{
    m_releaseCalls.append(id);
    return m_held.erase(id) != 0;
}
