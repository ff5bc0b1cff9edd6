#include "ui/controls/UserNameLabel.h"

#include "ui/controls/IconShack.h"

#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>

CUserNameLabel::CUserNameLabel(QWidget* parent) : QWidget(parent) {
    setFont(NameFont(font()));
    setCursor(Qt::PointingHandCursor);
}

QFont CUserNameLabel::NameFont(const QFont& dialogFont) {
    QFont name = dialogFont;
    name.setWeight(QFont::DemiBold);
    if (dialogFont.pointSizeF() > 0)
        name.setPointSizeF(dialogFont.pointSizeF() * 10.0 / 8.0);
    else
        name.setPixelSize(dialogFont.pixelSize() * 10 / 8);
    return name;
}

void CUserNameLabel::SetText(const QString& text) {
    mText = text;
    setAccessibleName(text);
    update();
}

void CUserNameLabel::SetScale(double scale) {
    if (scale > 0) {
        mScale = scale;
        update();
    }
}

int CUserNameLabel::Px(double pixels) const {
    return static_cast<int>(std::lround(pixels * mScale));
}

int CUserNameLabel::TextWidth() const {
    return fontMetrics().horizontalAdvance(mText);
}

QRect CUserNameLabel::ClickableRect() const {
    return QRect(0, 0, TextWidth() + Px(15), height());
}

QPoint CUserNameLabel::MenuPosition() const {
    return mapToGlobal(QPoint(-Px(20), height() - Px(3)));
}

void CUserNameLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(QColor(0, 0, 0));
    painter.setFont(font());
    const QFontMetrics metrics = fontMetrics();
    painter.drawText(QPoint(0, metrics.ascent()), mText);
    // The arrow sits on the text's middle, 5 pixels after it.
    const QSize arrow(Px(11), Px(8));
    const int y = std::max(0, (metrics.height() - arrow.height()) / 2 + Px(1));
    painter.drawPixmap(QPoint(TextWidth() + Px(5), y),
                       CIconShack::ArrowBitmap().pixmap(arrow, devicePixelRatioF()));
}

void CUserNameLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !ClickableRect().contains(event->position().toPoint())) {
        QWidget::mousePressEvent(event);
        return;
    }
    if (mpMenu == nullptr)
        return;
    mpMenu->popup(MenuPosition());
    emit menuShown();
}
