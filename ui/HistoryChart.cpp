#include "ui/HistoryChart.h"

#include <QFontMetrics>
#include <QLocale>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>

#include <algorithm>

namespace {

const QColor kCounted(0x2f, 0x7e, 0xd8);
const QColor kNotCounted(0xb4, 0xb9, 0xc2);

/// A round step for the axis that puts about three lines under top.
int AxisStep(int top) {
    int step = 1;
    for (int base = 1;; base *= 10) {
        for (int factor : {1, 2, 5}) {
            step = base * factor;
            if (top / step <= 3)
                return step;
        }
    }
}

} // namespace

CHistoryChart::CHistoryChart(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("historyChart"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void CHistoryChart::SetData(const QString& title, std::vector<CBar> bars,
                            std::vector<std::pair<QString, int>> artists) {
    mTitle = title;
    mBars = std::move(bars);
    mArtists = std::move(artists);
    update();
}

QSize CHistoryChart::sizeHint() const {
    const int line = fontMetrics().height();
    return {line * 40, line * 12};
}

QSize CHistoryChart::minimumSizeHint() const {
    const int line = fontMetrics().height();
    return {line * 24, line * 12};
}

void CHistoryChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect area = rect().adjusted(4, 4, -4, -4);
    const int gap = fontMetrics().height() * 2;
    const int barsWidth = area.width() * 62 / 100;
    PaintBars(painter, QRect(area.left(), area.top(), barsWidth - gap / 2, area.height()));
    PaintArtists(painter, QRect(area.left() + barsWidth + gap / 2, area.top(), area.width() - barsWidth - gap / 2,
                                area.height()));
}

void CHistoryChart::PaintBars(QPainter& painter, const QRect& area) {
    const QFontMetrics metrics = fontMetrics();
    const int line = metrics.height();
    const QColor text = palette().color(QPalette::WindowText);
    QColor faint = text;
    faint.setAlpha(60);

    QFont bold = font();
    bold.setBold(true);
    painter.setFont(bold);
    painter.setPen(text);
    painter.drawText(QRect(area.left(), area.top(), area.width(), line), Qt::AlignLeft | Qt::AlignVCenter, mTitle);
    painter.setFont(font());

    // The legend, right-aligned on the title's line.
    const int box = metrics.ascent() * 3 / 4;
    int x = area.right();
    for (const auto& [label, colour] : {std::pair(QStringLiteral("Not counted"), kNotCounted),
                                        std::pair(QStringLiteral("Counted"), kCounted)}) {
        const int width = metrics.horizontalAdvance(label);
        x -= width;
        painter.setPen(text);
        painter.drawText(QRect(x, area.top(), width, line), Qt::AlignLeft | Qt::AlignVCenter, label);
        x -= box + line / 4;
        painter.fillRect(QRect(x, area.top() + (line - box) / 2, box, box), colour);
        x -= line;
    }

    int top = 0;
    for (const CBar& bar : mBars)
        top = std::max(top, bar.heard);
    const QRect plot(area.left() + metrics.horizontalAdvance(QStringLiteral("0000")) + line / 2,
                     area.top() + line * 3 / 2, 0, 0);
    const int plotRight = area.right();
    const int plotBottom = area.bottom() - line - line / 4;
    const QRect graph(plot.left(), plot.top(), plotRight - plot.left(), plotBottom - plot.top());
    if (top == 0) {
        painter.setPen(text);
        painter.drawText(graph, Qt::AlignCenter, QStringLiteral("No plays in this period"));
        return;
    }
    const int step = AxisStep(top);
    const int axisTop = ((top + step - 1) / step) * step;
    const auto yOf = [&](int value) {
        return graph.bottom() - static_cast<int>(static_cast<qint64>(value) * graph.height() / axisTop);
    };
    // Lines and numbers of the axis.
    for (int value = 0; value <= axisTop; value += step) {
        const int y = yOf(value);
        painter.setPen(faint);
        painter.drawLine(graph.left(), y, graph.right(), y);
        painter.setPen(text);
        painter.drawText(QRect(area.left(), y - line / 2, graph.left() - area.left() - line / 4, line),
                         Qt::AlignRight | Qt::AlignVCenter, QLocale().toString(value));
    }
    const int count = static_cast<int>(mBars.size());
    const double slot = static_cast<double>(graph.width()) / count;
    const double width = std::max(1.0, slot * (slot >= 6 ? 0.7 : 1.0));
    for (int i = 0; i < count; ++i) {
        const CBar& bar = mBars[static_cast<std::size_t>(i)];
        const double left = graph.left() + slot * i + (slot - width) / 2;
        const int heardTop = yOf(bar.heard);
        const int countedTop = yOf(bar.counted);
        painter.fillRect(QRectF(left, heardTop, width, countedTop - heardTop), kNotCounted);
        painter.fillRect(QRectF(left, countedTop, width, graph.bottom() - countedTop), kCounted);
    }
    // As many labels under the bars as fit without touching.
    int widest = 0;
    for (const CBar& bar : mBars)
        widest = std::max(widest, metrics.horizontalAdvance(bar.label));
    const int every = std::max(1, static_cast<int>((widest + line) / slot) + 1);
    painter.setPen(text);
    for (int i = count - 1; i >= 0; i -= every) {
        const CBar& bar = mBars[static_cast<std::size_t>(i)];
        const int centre = graph.left() + static_cast<int>(slot * i + slot / 2);
        const int labelWidth = metrics.horizontalAdvance(bar.label);
        const int left = std::clamp(centre - labelWidth / 2, area.left(), area.right() - labelWidth);
        painter.drawText(QRect(left, graph.bottom() + line / 4, labelWidth, line), Qt::AlignCenter, bar.label);
    }
}

void CHistoryChart::PaintArtists(QPainter& painter, const QRect& area) {
    const QFontMetrics metrics = fontMetrics();
    const int line = metrics.height();
    const QColor text = palette().color(QPalette::WindowText);
    QFont bold = font();
    bold.setBold(true);
    painter.setFont(bold);
    painter.setPen(text);
    painter.drawText(QRect(area.left(), area.top(), area.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Top artists"));
    painter.setFont(font());
    if (mArtists.empty()) {
        painter.drawText(QRect(area.left(), area.top() + line * 3 / 2, area.width(), line),
                         Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("None yet"));
        return;
    }
    const int rowHeight = line * 2;
    const int rows = std::min<int>(static_cast<int>(mArtists.size()), (area.height() - line * 3 / 2) / rowHeight);
    const int most = mArtists.front().second;
    int numberWidth = 0;
    for (int i = 0; i < rows; ++i)
        numberWidth = std::max(numberWidth, metrics.horizontalAdvance(QLocale().toString(mArtists[i].second)));
    for (int i = 0; i < rows; ++i) {
        const auto& [name, plays] = mArtists[static_cast<std::size_t>(i)];
        const int y = area.top() + line * 3 / 2 + i * rowHeight;
        const QString number = QLocale().toString(plays);
        painter.setPen(text);
        painter.drawText(QRect(area.left(), y, area.width() - numberWidth - line / 2, line),
                         Qt::AlignLeft | Qt::AlignVCenter,
                         metrics.elidedText(name, Qt::ElideRight, area.width() - numberWidth - line / 2));
        painter.drawText(QRect(area.right() - numberWidth, y, numberWidth, line), Qt::AlignRight | Qt::AlignVCenter,
                         number);
        const int barWidth = std::max(2, (area.width() - numberWidth - line / 2) * plays / std::max(1, most));
        painter.fillRect(QRect(area.left(), y + line + line / 8, barWidth, line / 3), kCounted);
    }
}
