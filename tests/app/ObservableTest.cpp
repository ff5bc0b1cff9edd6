#include "app/Observable.h"
#include "app/Observer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

class CSubject : public Observable {};

class CRecorder : public Observer {
public:
    CRecorder(std::string name, std::vector<std::string>& calls) : mName(std::move(name)), mCalls(calls) {}
    void Update() override { mCalls.push_back(mName + ".Update"); }
    void UpdateFrom(Observable* subject) override {
        mCalls.push_back(mName + ".UpdateFrom");
        lastSubject = subject;
    }
    Observable* lastSubject = nullptr;

private:
    std::string mName;
    std::vector<std::string>& mCalls;
};

} // namespace

TEST(ObservableTest, NotifiesInOrderUpdateThenUpdateFromWithTheSubject) {
    std::vector<std::string> calls;
    CSubject subject;
    CRecorder a("a", calls), b("b", calls);
    subject.AddObserver(&a);
    subject.AddObserver(&b);
    subject.NotifyObservers();
    EXPECT_EQ(calls, (std::vector<std::string>{"a.Update", "a.UpdateFrom", "b.Update", "b.UpdateFrom"}));
    EXPECT_EQ(a.lastSubject, &subject);
}

TEST(ObservableTest, RemoveTakesEveryEntryOfTheObserver) {
    std::vector<std::string> calls;
    CSubject subject;
    CRecorder a("a", calls), b("b", calls);
    subject.AddObserver(&a);
    subject.AddObserver(&b);
    subject.AddObserver(&a);
    subject.RemoveObserver(&a);
    subject.NotifyObservers();
    EXPECT_EQ(calls, (std::vector<std::string>{"b.Update", "b.UpdateFrom"}));
}

TEST(ObservableTest, DefaultOperationsDoNothing) {
    CSubject subject;
    Observer plain;
    subject.AddObserver(&plain);
    subject.NotifyObservers(); // must simply return
    subject.RemoveObserver(&plain);
}

TEST(ObservableTest, ObserverRemovedDuringNotificationIsNotCalledAgain) {
    std::vector<std::string> calls;
    CSubject subject;
    CRecorder b("b", calls);
    struct CRemover : Observer {
        CSubject* s;
        Observer* victim;
        void Update() override { s->RemoveObserver(victim); }
    } remover;
    remover.s = &subject;
    remover.victim = &b;
    subject.AddObserver(&remover);
    subject.AddObserver(&b);
    subject.NotifyObservers();
    EXPECT_TRUE(calls.empty());
}

TEST(ObservableTest, RemovalFromAnotherThreadWaitsForTheRunningNotification) {
    // After RemoveObserver returns the observer may be destroyed: no call may
    // reach it any more.
    CSubject subject;
    std::atomic<bool> stop{false};
    std::atomic<int> afterRemoval{0};
    struct CCounter : Observer {
        std::atomic<bool> removed{false};
        std::atomic<int>* late;
        void Update() override {
            if (removed)
                ++*late;
        }
    };
    std::thread notifier([&] {
        while (!stop)
            subject.NotifyObservers();
    });
    for (int i = 0; i < 200; ++i) {
        CCounter counter;
        counter.late = &afterRemoval;
        subject.AddObserver(&counter);
        std::this_thread::yield();
        subject.RemoveObserver(&counter);
        counter.removed = true;
        std::this_thread::yield();
    }
    stop = true;
    notifier.join();
    EXPECT_EQ(afterRemoval.load(), 0);
}
