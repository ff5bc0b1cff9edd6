#pragma once

#include <QIcon>
#include <QImage>
#include <QSize>
#include <QString>

/// The program's pictures, drawn as SVG sources in res/ and carried in the Qt
/// resource system under names that carry their identifiers:
///   ":/bitmaps/<id>.svg"  bitmaps (190 background, 209 bubble, ...)
///   ":/icons/<id>.svg"    icons (the tray icons 174 to 188, 128 the program)
///   ":/bitmaps/wizard-watermark.svg", ":/bitmaps/wizard-header.svg",
///   ":/bitmaps/radio.svg" and ":/pictures/no_album.jpg", ":/pictures/no_artist.jpg"
///
/// Pictures are rendered at the size they are shown, so they stay sharp at
/// any font size and on high-density screens.
class CPictures {
public:
    CPictures() = delete;

    static QString BitmapPath(int id);
    static QString IconPath(int id);
    /// Whether the resource exists.
    static bool Exists(const QString& path);
    /// The picture's own size in pixels at the standard dialog scale; empty
    /// when it cannot be read.
    static QSize NaturalSize(const QString& path);
    /// The picture drawn into an image of size x devicePixelRatio device
    /// pixels on a transparent ground, tagged with that ratio; a null image
    /// when it cannot be read.
    static QImage Render(const QString& path, const QSize& size, qreal devicePixelRatio = 1.0);
    /// An icon holding the picture at the usual icon sizes (16 to 256).
    static QIcon Icon(const QString& path);
};
