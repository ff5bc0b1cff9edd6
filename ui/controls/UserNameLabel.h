#pragma once

#include <QString>
#include <QWidget>

class QMenu;

/// The current user's name in a semi-bold font, followed by a small
/// downward arrow; a click on the name or the arrow drops down the user menu
/// (the main window's "User" menu: every user, then "Add User..."), which
/// fills itself as it is about to show.
class CUserNameLabel : public QWidget {
    Q_OBJECT
public:
    explicit CUserNameLabel(QWidget* parent = nullptr);

    void SetText(const QString& text);
    const QString& Text() const noexcept { return mText; }
    /// The menu dropped down by a click (not owned; null: none).
    void SetMenu(QMenu* menu) noexcept { mpMenu = menu; }
    QMenu* Menu() const noexcept { return mpMenu; }
    /// Logical pixels per picture pixel for the arrow and its offsets.
    void SetScale(double scale);

    /// From the left edge to 15 pixels past the text, over the full height.
    QRect ClickableRect() const;
    /// Where the menu drops down: 20 pixels left of the label, 3 above its
    /// bottom edge, in screen coordinates.
    QPoint MenuPosition() const;

    /// The label's font: the given font, semi-bold, at 10/8 of its size
    /// (10 points for the classic 8-point dialog font).
    static QFont NameFont(const QFont& dialogFont);

signals:
    /// The menu was dropped down.
    void menuShown();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    int TextWidth() const;
    int Px(double pixels) const;

    QString mText;
    QMenu* mpMenu = nullptr;
    double mScale = 1.0;
};
