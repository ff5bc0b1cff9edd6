#pragma once

#include <QPixmap>

/// The wizards' pictures, drawn at their own size for the screen's pixel
/// ratio: the watermark left of the exterior pages, the picture in the title
/// band of the inner pages, and the radio application.
class CWizardPictures {
public:
    CWizardPictures() = delete;

    static QPixmap Watermark(qreal devicePixelRatio);
    static QPixmap Header(qreal devicePixelRatio);
    static QPixmap Radio(qreal devicePixelRatio);
};
