#pragma once

#include <QString>
#include <vector>

// The user's login items as the start-at-login controller sees them: a list of jobs, each
// named by its identifier ("Label") with its enabled state ("OnDemand"), and one call that
// registers or unregisters the login helper of a given identifier.
class LoginItems
{
public:
    struct Job
    {
        QString label;
        bool onDemand = false;
    };

    virtual ~LoginItems() = default;

    // Every login item of the user, in a stable order; empty when there are none.
    virtual std::vector<Job> jobDictionaries() const = 0;
    // Registers (true) or unregisters (false) the login helper with this identifier; false
    // when the change could not be made.
    virtual bool setLoginItemEnabled(const QString& identifier, bool enabled) = 0;
};
