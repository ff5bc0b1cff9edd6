#include "ui/ModalTracker.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>

CModalTracker& CModalTracker::Instance() {
    static CModalTracker* tracker = new CModalTracker();
    return *tracker;
}

CModalTracker::CModalTracker() : QObject(QCoreApplication::instance()) {
    QCoreApplication::instance()->installEventFilter(this);
}

QWidget* CModalTracker::Top() {
    return QApplication::activeModalWidget();
}

void CModalTracker::RaiseTop() {
    if (QWidget* top = Top()) {
        top->raise();
        top->activateWindow();
    }
}

void CModalTracker::CloseAll() {
    // Each close ends that window's loop; a window that refuses Cancel now
    // is ended all the same. A bound, for a window that keeps coming back.
    for (int round = 0; round < 32; ++round) {
        QWidget* top = Top();
        if (top == nullptr)
            return;
        if (auto* dialog = qobject_cast<QDialog*>(top)) {
            dialog->reject();
            if (Top() == dialog)
                dialog->done(QDialog::Rejected);
        } else {
            top->close();
        }
        if (Top() == top)
            top->hide();
    }
}

void CModalTracker::WhenFree(QObject* context, std::function<void()> action) {
    mWaiting.emplace_back(QPointer<QObject>(context), std::move(action));
    PostCheck();
}

bool CModalTracker::eventFilter(QObject* watched, QEvent* event) {
    // A modal window closing may free the queue.
    if (event->type() == QEvent::Hide && !mWaiting.empty() && watched->isWidgetType()) {
        const auto* widget = static_cast<QWidget*>(watched);
        if (widget->isWindow() && widget->windowModality() != Qt::NonModal)
            PostCheck();
    }
    return QObject::eventFilter(watched, event);
}

void CModalTracker::PostCheck() {
    if (mbCheckPosted)
        return;
    mbCheckPosted = true;
    QMetaObject::invokeMethod(this, [this] { RunWaiting(); }, Qt::QueuedConnection);
}

void CModalTracker::RunWaiting() {
    mbCheckPosted = false;
    // One at a time: an action may open a modal window of its own, and the
    // next waits for that one in turn.
    while (!mWaiting.empty() && !IsModalOpen()) {
        auto [context, action] = std::move(mWaiting.front());
        mWaiting.pop_front();
        // Dropped when its context went meanwhile.
        if (context)
            action();
    }
}
