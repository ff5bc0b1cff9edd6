#pragma once

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <utility>

/// Posts work to the target's thread, from any thread, unless a post of it
/// waits there already: the work reads the latest state when it runs, so one
/// waiting post stands for every notification before it. `posted` lives as
/// long as the target.
template <typename Work>
void PostOnce(QObject* target, std::atomic<bool>& posted, Work work) {
    if (posted.exchange(true))
        return;
    QMetaObject::invokeMethod(
        target,
        [&posted, work = std::move(work)] {
            posted.store(false);
            work();
        },
        Qt::QueuedConnection);
}
