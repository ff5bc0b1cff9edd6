#pragma once

#include <QPixmap>

/// The wizards' pictures, drawn at their own size for the screen's pixel
/// ratio: the watermark left of the exterior pages, the picture in the title
/// band of the inner pages, and the radio application.
class CWizardPictures {
public:
    CWizardPictures() = delete;

    /// At its own size, or filling a strip of that height (its width kept,
    /// the picture scaled to cover the strip and centred).
    static QPixmap Watermark(qreal devicePixelRatio, int height = 0);
    static QPixmap Header(qreal devicePixelRatio);
    static QPixmap Radio(qreal devicePixelRatio);
};
