// Bounded polling for the window tests: the X server, the window manager and the demo process
// all act asynchronously.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

// Polls `condition` (while letting Qt deliver process output) until it holds or `timeoutMs`
// has passed; returns its final value.
template <typename Condition> bool waitUntil(Condition condition, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return true;
}
