#include "ui/controls/Hyperlink.h"

#include "app/Logger.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

CHyperlink::CHyperlink(QWidget* parent) : QLabel(parent) {
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setTextFormat(Qt::PlainText);
    ApplyColour();
}

QColor CHyperlink::UnvisitedColour() {
    return QColor(0, 0, 0);
}

QColor CHyperlink::VisitedColour() {
    return QColor(0x87, 0x87, 0x87);
}

void CHyperlink::SetUrl(const QString& url) {
    mUrl = url;
    setToolTip(url);
}

void CHyperlink::ApplyColour() {
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, mbVisited ? VisitedColour() : UnvisitedColour());
    setPalette(colours);
}

void CHyperlink::Open() {
    if (!QDesktopServices::openUrl(QUrl(mUrl)))
        VBX_LOG(1, "Couldn't open " << mUrl.toStdString() << "\n");
    mbVisited = true;
    ApplyColour();
    update();
}

void CHyperlink::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        Open();
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

void CHyperlink::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat()) {
        Open();
        return;
    }
    QLabel::keyReleaseEvent(event);
}

void CHyperlink::enterEvent(QEnterEvent* event) {
    mbHovering = true;
    update();
    QLabel::enterEvent(event);
}

void CHyperlink::leaveEvent(QEvent* event) {
    mbHovering = false;
    update();
    QLabel::leaveEvent(event);
}

void CHyperlink::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    QPen dotted(palette().color(QPalette::WindowText));
    dotted.setStyle(Qt::DotLine);
    painter.setPen(dotted);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
