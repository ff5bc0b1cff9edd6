#include "update/wizards/WizardPictures.h"

#include "app/Logger.h"
#include "ui/controls/Pictures.h"

namespace {

QPixmap Draw(const QString& path, qreal devicePixelRatio) {
    const QImage image = CPictures::Render(path, CPictures::NaturalSize(path), devicePixelRatio);
    if (image.isNull())
        VBX_LOG(1, "Unable to load picture " << path.toStdString() << "\n");
    return QPixmap::fromImage(image);
}

} // namespace

QPixmap CWizardPictures::Watermark(qreal devicePixelRatio, int height) {
    const QString path = QStringLiteral(":/bitmaps/wizard-watermark.svg");
    const QSize natural = CPictures::NaturalSize(path);
    if (height <= natural.height() || natural.isEmpty())
        return Draw(path, devicePixelRatio);
    // Scaled up to the height; the sides beyond the natural width are cut.
    const QSize scaled(natural.width() * height / natural.height(), height);
    const QImage image = CPictures::Render(path, scaled, devicePixelRatio);
    if (image.isNull()) {
        VBX_LOG(1, "Unable to load picture " << path.toStdString() << "\n");
        return {};
    }
    const int left = (scaled.width() - natural.width()) / 2;
    const QRect strip(QPoint(qRound(left * devicePixelRatio), 0),
                      QSize(qRound(natural.width() * devicePixelRatio), image.height()));
    QImage cut = image.copy(strip);
    cut.setDevicePixelRatio(devicePixelRatio);
    return QPixmap::fromImage(cut);
}

QPixmap CWizardPictures::Header(qreal devicePixelRatio) {
    return Draw(QStringLiteral(":/bitmaps/wizard-header.svg"), devicePixelRatio);
}

QPixmap CWizardPictures::Radio(qreal devicePixelRatio) {
    return Draw(QStringLiteral(":/bitmaps/radio.svg"), devicePixelRatio);
}
