#pragma once

#include <QCoreApplication>
#include <QString>
#include <QElapsedTimer>
#include <QThread>

#include <functional>
#include <ostream>

/// QStrings in test messages as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

/// Processes events until the condition holds; false after a generous bound.
inline bool WaitForUi(const std::function<bool()>& condition, int boundMs = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > boundMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

/// Lets posted events run for a while.
inline void PumpUi(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}
