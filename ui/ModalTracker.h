#pragma once

#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>
#include <utility>

class QWidget;

/// The desktop's modal windows, as the shell must see them: while one is
/// open (a dialog, a wizard, a message box, with the login verification
/// inside it) nothing may run behind it that changes what it shows. Tray
/// commands ask here first; what must wait for the window (the update
/// wizard, the question about a link) is queued with WhenFree and runs once
/// no modal window is open; at exit every one is closed, so that the
/// shutdown runs in the main loop and not in a window's loop.
///
/// The program's thread only.
class CModalTracker : public QObject {
    Q_OBJECT
public:
    /// The one tracker, watching the application's windows.
    static CModalTracker& Instance();

    /// The modal window on top, or null when none is open.
    static QWidget* Top();
    static bool IsModalOpen() { return Top() != nullptr; }
    /// Brings the modal window on top to the front, with the focus.
    static void RaiseTop();
    /// Closes every open modal window, the top one first, as Cancel would
    /// (a wizard that cannot be cancelled at that moment is ended).
    static void CloseAll();

    /// Runs the action once no modal window is open: from the event loop,
    /// after the current event, also when none is open now. Dropped if the
    /// context goes first.
    void WhenFree(QObject* context, std::function<void()> action);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CModalTracker();
    void PostCheck();
    void RunWaiting();

    std::deque<std::pair<QPointer<QObject>, std::function<void()>>> mWaiting;
    bool mbCheckPosted = false;
};
