#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QWidget>

/// Shows a bitmap with one colour treated as transparent, so that the
/// window's background shows through those pixels: its own bitmap from the
/// resources (white transparent), a bitmap lent by its window (white
/// transparent), or an icon drawn on a white square (black transparent).
/// The control takes the size of its bitmap. It can be clicked, and may show
/// a thin sunken edge while the mouse button is held down (the pressed look).
/// Without a bitmap it paints nothing.
class CTransparentBitmap : public QWidget {
    Q_OBJECT
public:
    explicit CTransparentBitmap(QWidget* parent = nullptr);

    /// Loads bitmap resource id (":/bitmaps/<id>.svg"); false (logged) when
    /// there is none, and the control then shows nothing.
    bool SetBitmap(int resourceId);
    /// Shows a bitmap that the caller keeps alive while it is shown; null
    /// shows nothing.
    void SetBitmap(const QPixmap* borrowed);
    /// Shows the icon at 16 x 16 on a white square; black is transparent.
    void SetBitmapFromIcon(const QIcon& icon);
    void SetPressedLook(bool on) noexcept { mbPressedLook = on; }
    /// Logical pixels per picture pixel, so the bitmap grows with the font.
    void SetScale(double scale);

    /// The resource shown, or -1 for a borrowed bitmap, an icon or none.
    int BitmapId() const noexcept { return mResourceId; }
    bool HasBitmap() const noexcept { return mbHasBitmap; }
    QColor TransparentColour() const noexcept { return mTransparent; }
    /// Whether the sunken edge is shown now.
    bool IsPressed() const noexcept { return mbPressed; }
    /// Takes the sunken edge away at once.
    void ClearPressed();

    QSize sizeHint() const override;

signals:
    void clicked();
    void doubleClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    /// Renders the current source at the current scale and resolution.
    QImage SourceImage() const;
    /// Resizes the control to the bitmap and builds the keyed picture.
    void RebuildMasks();
    void MarkStale();

    enum class ESource { None, Resource, Borrowed, Icon };
    ESource mSource = ESource::None;
    int mResourceId = -1;
    const QPixmap* mpBorrowed = nullptr;
    QIcon mIcon;
    QColor mTransparent{255, 255, 255};
    double mScale = 1.0;

    QImage mKeyed;
    bool mbHasBitmap = false;
    bool mbMasksStale = true;
    bool mbPressedLook = false;
    bool mbPressed = false;
};
