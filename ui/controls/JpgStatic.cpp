#include "ui/controls/JpgStatic.h"

#include "app/Logger.h"

#include <QFile>
#include <QPainter>

#include <algorithm>
#include <cmath>

CJpgStatic::CJpgStatic(QWidget* parent) : QWidget(parent) {}

bool CJpgStatic::SetImage(const QString& path) {
    mPicture = QImage();
    mPath.clear();
    QImage picture;
    if (!path.isEmpty()) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            picture = QImage::fromData(file.readAll());
    }
    if (picture.isNull()) {
        VBX_LOG(1, "Unable to load picture " << path.toStdString() << "\n");
        update();
        return false;
    }
    mPicture = std::move(picture);
    mPath = path;
    update();
    return true;
}

void CJpgStatic::Clear() {
    mPicture = QImage();
    mPath.clear();
    update();
}

QRect CJpgStatic::PictureRect() const {
    if (mPicture.isNull() || width() <= 0 || height() <= 0)
        return {};
    const double s = std::max(static_cast<double>(mPicture.width()) / width(),
                              static_cast<double>(mPicture.height()) / height());
    const int w = std::max(1, static_cast<int>(std::lround(mPicture.width() / s)));
    const int h = std::max(1, static_cast<int>(std::lround(mPicture.height() / s)));
    return QRect((width() - w) / 2, 0, w, h);
}

void CJpgStatic::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setBrush(Qt::NoBrush);
    if (mPicture.isNull()) {
        painter.setPen(QColor(0x9a, 0xa2, 0xad));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
        return;
    }
    const QRect target = PictureRect();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, mPicture);
    painter.setPen(Qt::black);
    painter.drawRect(target.adjusted(0, 0, -1, -1));
}
