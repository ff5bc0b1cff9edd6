#pragma once

#include <mutex>
#include <vector>

class Observer;

/// Keeps an ordered list of observers and tells each of them, in the order
/// they were added, about a change: Update() and then UpdateFrom(this), on the
/// thread that made the change.
///
/// Adding and removing are safe while another thread notifies: once
/// RemoveObserver has returned, that observer is not called again.
class Observable {
public:
    Observable() = default;
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    void AddObserver(Observer* observer);
    /// Removes every entry of this observer.
    void RemoveObserver(Observer* observer);
    void NotifyObservers();

protected:
    ~Observable() = default;

private:
    bool IsRegistered(const Observer* observer) const;

    // Held across a notification, so a removal from another thread waits for
    // the notification that may still call the removed observer. Recursive,
    // so that an observer may add or remove observers from its callback.
    mutable std::recursive_mutex mMutex;
    std::vector<Observer*> mObservers;
};
