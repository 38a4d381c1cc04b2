#pragma once

// Login items for tests: a job list the test sets, a registration result the test chooses,
// and a record of every registration call. A successful registration shows up in the job
// list only when `listsRegistrations` is on (the system may list a new job later).

#include "Pikora/StartAtLoginController/LoginItems.h"

#include <utility>
#include <vector>

class FakeLoginItems : public LoginItems
{
public:
    struct Call
    {
        QString identifier;
        bool enabled = false;
    };

    std::vector<Job> jobs;
    bool succeeds = true;
    bool listsRegistrations = true;
    std::vector<Call> calls;
    mutable int listings = 0;

    std::vector<Job> jobDictionaries() const override
    {
        ++listings;
        return jobs;
    }

    bool setLoginItemEnabled(const QString& identifier, bool enabled) override
    {
        calls.push_back({identifier, enabled});
        if (!succeeds)
            return false;
        if (listsRegistrations) {
            std::erase_if(jobs, [&](const Job& job) { return job.label == identifier; });
            if (enabled)
                jobs.push_back({identifier, true});
        }
        return true;
    }
};
