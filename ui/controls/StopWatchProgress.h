#pragma once

#include "app/Observer.h"

#include <QImage>
#include <QWidget>

class CStopWatch;

/// The listening progress of the playing track toward its goal: a bar that
/// follows a stopwatch across threads. Each tick of the stopwatch (on its own
/// thread) only posts to the bar; on the bar's thread the position becomes
/// the stopwatch's count and countdown() tells the owner the seconds left.
///
/// Drawn as a white box with a black outline, a light grey secondary fill
/// (secondary / maximum of the width), and the grey picture (202) or, once
/// the track was submitted, the green one (203), position / maximum wide.
class CStopWatchProgress : public QWidget, public Observer {
    Q_OBJECT
public:
    explicit CStopWatchProgress(QWidget* parent = nullptr);
    /// Stops observing the stopwatch.
    ~CStopWatchProgress() override;

    /// Follows the stopwatch (null: none), which must outlive the following:
    /// maximum = secondary = its goal, the grey picture, position = its count.
    void Follow(CStopWatch* watch);
    /// Inactive: position 0, and ticks leave the bar alone.
    void SetActive(bool active);
    /// The green picture: the track was submitted.
    void ShowSubmitted();

    int Maximum() const noexcept { return mMaximum; }
    int Position() const noexcept { return mPosition; }
    int Secondary() const noexcept { return mSecondary; }
    bool IsActive() const noexcept { return mbActive; }
    bool IsShowingSubmitted() const noexcept { return mbGreen; }
    const CStopWatch* Followed() const noexcept { return mpWatch; }

    /// Stopwatch notification, on the stopwatch's thread: posts only.
    void Update() override;

signals:
    /// After each tick while active: maximum - position.
    void countdown(int secondsLeft);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void OnTick();
    void SetSecondary(int value);

    CStopWatch* mpWatch = nullptr;
    int mMaximum = 100;
    int mPosition = 0;
    int mSecondary = 0;
    bool mbShowSecondary = true;
    bool mbActive = true;
    bool mbGreen = false;
    bool mbDestroyed = false;
    // The current picture, drawn at the bar's size.
    QImage mRendered;
    int mRenderedId = 0;
};
