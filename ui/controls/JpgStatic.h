#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

/// Shows a picture file (JPEG, GIF, PNG, or anything else QImage reads)
/// scaled to fit the control with its aspect kept, centred horizontally and
/// top-aligned, with a one-pixel frame around the drawn picture. Without a
/// picture it shows the control's empty frame.
class CJpgStatic : public QWidget {
    Q_OBJECT
public:
    explicit CJpgStatic(QWidget* parent = nullptr);

    /// Loads the file (a path, or a ":/" resource) and redraws. On failure
    /// (missing, unreadable, not a picture, empty path) no picture is kept
    /// and "Unable to load picture <path>" is logged. Returns whether it
    /// loaded.
    bool SetImage(const QString& path);
    /// Drops the picture without a word.
    void Clear();

    bool HasPicture() const noexcept { return !mPicture.isNull(); }
    QSize PictureSize() const noexcept { return mPicture.size(); }
    /// The file shown last ("" after Clear or a failure).
    const QString& ImagePath() const noexcept { return mPath; }
    /// Where the picture is drawn: fitted, centred, at the top.
    QRect PictureRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage mPicture;
    QString mPath;
};
