#pragma once

class Observable;

/// Receives the notifications of the observables it is attached to. Both
/// operations do nothing by default; an observer overrides the one it needs.
/// An observer must remove itself from every observable before it goes.
class Observer {
public:
    virtual ~Observer() = default;
    /// Called second, with the observable that changed.
    virtual void UpdateFrom(Observable* subject) { (void)subject; }
    /// Called first.
    virtual void Update() {}
};
