#include "ui/controls/Pictures.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>

QString CPictures::BitmapPath(int id) {
    return QStringLiteral(":/bitmaps/%1.svg").arg(id);
}

QString CPictures::IconPath(int id) {
    return QStringLiteral(":/icons/%1.svg").arg(id);
}

bool CPictures::Exists(const QString& path) {
    return QFile::exists(path);
}

QSize CPictures::NaturalSize(const QString& path) {
    QSvgRenderer renderer(path);
    return renderer.isValid() ? renderer.defaultSize() : QSize();
}

QImage CPictures::Render(const QString& path, const QSize& size, qreal devicePixelRatio) {
    QSvgRenderer renderer(path);
    if (!renderer.isValid() || size.isEmpty())
        return {};
    const QSize device(static_cast<int>(std::lround(size.width() * devicePixelRatio)),
                       static_cast<int>(std::lround(size.height() * devicePixelRatio)));
    QImage image(device, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(device)));
    }
    image.setDevicePixelRatio(devicePixelRatio);
    return image;
}

QIcon CPictures::Icon(const QString& path) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QImage image = Render(path, QSize(size, size));
        if (!image.isNull())
            icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}
