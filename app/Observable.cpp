#include "app/Observable.h"

#include "app/Observer.h"

#include <algorithm>

void Observable::AddObserver(Observer* observer) {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    mObservers.push_back(observer);
}

void Observable::RemoveObserver(Observer* observer) {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    std::erase(mObservers, observer);
}

bool Observable::IsRegistered(const Observer* observer) const {
    return std::find(mObservers.begin(), mObservers.end(), observer) != mObservers.end();
}

void Observable::NotifyObservers() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    // A snapshot, since a callback may change the list; an entry removed on
    // the way is skipped.
    const std::vector<Observer*> snapshot = mObservers;
    for (Observer* observer : snapshot) {
        if (!IsRegistered(observer))
            continue;
        observer->Update();
        if (IsRegistered(observer))
            observer->UpdateFrom(this);
    }
}
