#include "update/WizardPictures.h"

#include "app/Logger.h"
#include "ui/Pictures.h"

namespace {

QPixmap Draw(const QString& path, qreal devicePixelRatio) {
    const QImage image = CPictures::Render(path, CPictures::NaturalSize(path), devicePixelRatio);
    if (image.isNull())
        VBX_LOG(1, "Unable to load picture " << path.toStdString() << "\n");
    return QPixmap::fromImage(image);
}

} // namespace

QPixmap CWizardPictures::Watermark(qreal devicePixelRatio) {
    return Draw(QStringLiteral(":/bitmaps/wizard-watermark.svg"), devicePixelRatio);
}

QPixmap CWizardPictures::Header(qreal devicePixelRatio) {
    return Draw(QStringLiteral(":/bitmaps/wizard-header.svg"), devicePixelRatio);
}

QPixmap CWizardPictures::Radio(qreal devicePixelRatio) {
    return Draw(QStringLiteral(":/bitmaps/radio.svg"), devicePixelRatio);
}
