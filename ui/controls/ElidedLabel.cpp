#include "ui/controls/ElidedLabel.h"

#include <QEvent>
#include <QPainter>
#include <QTextLayout>

CElidedLabel::CElidedLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

QStringList CElidedLabel::VisibleLines(bool* elided) const {
    const QFontMetrics metrics = fontMetrics();
    const QString whole = text();
    const int width = contentsRect().width();
    *elided = false;
    if (whole.isEmpty() || width <= 0)
        return {};
    if (!wordWrap()) {
        const QString shown = metrics.elidedText(whole, Qt::ElideRight, width);
        *elided = shown != whole;
        return {shown};
    }

    const int lineHeight = metrics.lineSpacing();
    const int maxLines = std::max(1, contentsRect().height() / lineHeight);
    QStringList lines;
    QTextLayout layout(whole, font());
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        if (lines.size() + 1 == maxLines) {
            // The last line that fits takes the rest of the text, elided.
            const QString rest = whole.mid(line.textStart()).simplified();
            const QString shown = metrics.elidedText(rest, Qt::ElideRight, width);
            *elided = shown != rest;
            lines << shown;
            break;
        }
        lines << whole.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

void CElidedLabel::SetText(const QString& text) {
    setText(text);
    RefreshTooltip();
}

bool CElidedLabel::IsElided() const {
    bool elided = false;
    VisibleLines(&elided);
    return elided;
}

void CElidedLabel::paintEvent(QPaintEvent*) {
    bool elided = false;
    const QStringList lines = VisibleLines(&elided);
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    const QRect area = contentsRect();
    const int lineHeight = fontMetrics().lineSpacing();
    int y = area.top();
    for (const QString& line : lines) {
        painter.drawText(QRect(area.left(), y, area.width(), lineHeight), Qt::AlignLeft | Qt::AlignVCenter, line);
        y += lineHeight;
    }
}

void CElidedLabel::RefreshTooltip() {
    setToolTip(IsElided() ? text() : QString());
}

void CElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    RefreshTooltip();
}

bool CElidedLabel::event(QEvent* event) {
    const bool handled = QLabel::event(event);
    if (event->type() == QEvent::FontChange)
        RefreshTooltip();
    return handled;
}
