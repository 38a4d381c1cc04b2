#pragma once

#include <QElapsedTimer>
#include <QTest>
#include <functional>

namespace TestSupport {

// Runs the event loop until `done` holds or `timeoutMs` passes; returns whether it held. Use it
// as ASSERT_TRUE(eventually(...)): Qt's QTRY_* macros report a timeout only inside a QTest run
// and return silently under GoogleTest, so a test built on them can never fail.
inline bool eventually(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(20);
    }
    return true;
}

} // namespace TestSupport
