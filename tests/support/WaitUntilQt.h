// Waiting in widget tests: between polls the events go on, so that the
// condition (a notice, a window property) can come true at all.
#pragma once

#include <QCoreApplication>
#include <QThread>

#include "WaitUntil.h"

inline void ProcessEventsBriefly() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QThread::msleep(5);
}
