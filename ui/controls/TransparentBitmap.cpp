#include "ui/controls/TransparentBitmap.h"

#include "app/Logger.h"
#include "ui/controls/Pictures.h"

#include <QMouseEvent>
#include <QPainter>

#include <cmath>

namespace {

constexpr int kIconSide = 16;

QSize Scaled(const QSize& size, double scale) {
    return QSize(static_cast<int>(std::lround(size.width() * scale)),
                 static_cast<int>(std::lround(size.height() * scale)));
}

} // namespace

CTransparentBitmap::CTransparentBitmap(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_NoSystemBackground);
}

bool CTransparentBitmap::SetBitmap(int resourceId) {
    const QString path = CPictures::BitmapPath(resourceId);
    mpBorrowed = nullptr;
    mIcon = QIcon();
    if (!CPictures::Exists(path) || CPictures::NaturalSize(path).isEmpty()) {
        VBX_LOG(1, "Unable to load bitmap resource ID " << resourceId << "\n");
        mSource = ESource::None;
        mResourceId = -1;
        mbHasBitmap = false;
        mKeyed = QImage();
        update();
        return false;
    }
    mSource = ESource::Resource;
    mResourceId = resourceId;
    mTransparent = QColor(255, 255, 255);
    MarkStale();
    return true;
}

void CTransparentBitmap::SetBitmap(const QPixmap* borrowed) {
    mIcon = QIcon();
    mResourceId = -1;
    mpBorrowed = borrowed;
    mSource = borrowed != nullptr ? ESource::Borrowed : ESource::None;
    mTransparent = QColor(255, 255, 255);
    MarkStale();
}

void CTransparentBitmap::SetBitmapFromIcon(const QIcon& icon) {
    mpBorrowed = nullptr;
    mResourceId = -1;
    mIcon = icon;
    mSource = icon.isNull() ? ESource::None : ESource::Icon;
    mTransparent = QColor(0, 0, 0);
    MarkStale();
}

void CTransparentBitmap::SetScale(double scale) {
    if (scale > 0 && scale != mScale) {
        mScale = scale;
        MarkStale();
    }
}

void CTransparentBitmap::MarkStale() {
    mbHasBitmap = mSource != ESource::None;
    mbMasksStale = true;
    if (mbHasBitmap)
        RebuildMasks();
    update();
}

QImage CTransparentBitmap::SourceImage() const {
    const qreal ratio = devicePixelRatioF();
    switch (mSource) {
    case ESource::Resource: {
        const QString path = CPictures::BitmapPath(mResourceId);
        return CPictures::Render(path, Scaled(CPictures::NaturalSize(path), mScale), ratio);
    }
    case ESource::Borrowed: {
        QImage image = mpBorrowed->toImage().convertToFormat(QImage::Format_ARGB32);
        image.setDevicePixelRatio(mpBorrowed->devicePixelRatio());
        return image;
    }
    case ESource::Icon: {
        const QSize side = Scaled(QSize(kIconSide, kIconSide), mScale);
        const QSize device = Scaled(side, ratio);
        QImage image(device, QImage::Format_ARGB32);
        image.fill(Qt::white);
        {
            QPainter painter(&image);
            mIcon.paint(&painter, QRect(QPoint(0, 0), device));
        }
        image.setDevicePixelRatio(ratio);
        return image;
    }
    case ESource::None:
        break;
    }
    return {};
}

void CTransparentBitmap::RebuildMasks() {
    QImage image = SourceImage().convertToFormat(QImage::Format_ARGB32);
    if (image.isNull()) {
        mKeyed = QImage();
        return;
    }
    const QSize logical = (QSizeF(image.size()) / image.devicePixelRatio()).toSize();
    if (size() != logical) {
        resize(logical);
        if (size() != logical)
            VBX_LOG(2, "Couldn't resize window to fit bitmap\n");
    }
    // Pixels of exactly the transparent colour become clear; the others stay
    // as they are.
    const QRgb key = mTransparent.rgb();
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(line[x]) == 255 && (line[x] & 0x00ffffffu) == (key & 0x00ffffffu))
                line[x] = qRgba(0, 0, 0, 0);
        }
    }
    mKeyed = image;
    mbMasksStale = false;
    updateGeometry();
}

QSize CTransparentBitmap::sizeHint() const {
    if (mKeyed.isNull())
        return QWidget::sizeHint();
    return (QSizeF(mKeyed.size()) / mKeyed.devicePixelRatio()).toSize();
}

void CTransparentBitmap::paintEvent(QPaintEvent*) {
    if (!mbHasBitmap)
        return;
    if (mbMasksStale || (mSource != ESource::Borrowed && mKeyed.devicePixelRatio() != devicePixelRatioF()))
        RebuildMasks();
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), mKeyed);
    if (mbPressed) {
        // A thin sunken edge: shadow above and left, light below and right.
        const QRect r = rect().adjusted(0, 0, -1, -1);
        painter.setPen(QColor(0x80, 0x80, 0x80));
        painter.drawLine(r.topLeft(), r.topRight());
        painter.drawLine(r.topLeft(), r.bottomLeft());
        painter.setPen(QColor(0xff, 0xff, 0xff));
        painter.drawLine(r.bottomLeft(), r.bottomRight());
        painter.drawLine(r.topRight(), r.bottomRight());
    }
}

void CTransparentBitmap::ClearPressed() {
    if (mbPressed) {
        mbPressed = false;
        update();
    }
}

void CTransparentBitmap::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && mbPressedLook) {
        mbPressed = true;
        update();
    }
    QWidget::mousePressEvent(event);
}

void CTransparentBitmap::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    ClearPressed();
    if (rect().contains(event->position().toPoint()))
        emit clicked();
}

void CTransparentBitmap::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        emit doubleClicked();
    QWidget::mouseDoubleClickEvent(event);
}
