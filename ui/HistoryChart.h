#pragma once

#include <QString>
#include <QWidget>

#include <utility>
#include <vector>

/// The picture of a period of listening: bars of the plays per day (or
/// week, or month), the counted part of each in colour over the rest in
/// grey, and beside them the artists heard most with their plays. Painted
/// from the data it is given, at the widget's font.
class CHistoryChart : public QWidget {
    Q_OBJECT
public:
    struct CBar {
        QString label; ///< the day, week or month, short
        int counted = 0;
        int heard = 0;
    };

    explicit CHistoryChart(QWidget* parent = nullptr);

    /// Shows the bars under a title ("Plays per day") and the top artists.
    void SetData(const QString& title, std::vector<CBar> bars, std::vector<std::pair<QString, int>> artists);

    const QString& Title() const noexcept { return mTitle; }
    const std::vector<CBar>& Bars() const noexcept { return mBars; }
    const std::vector<std::pair<QString, int>>& Artists() const noexcept { return mArtists; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void PaintBars(QPainter& painter, const QRect& area);
    void PaintArtists(QPainter& painter, const QRect& area);

    QString mTitle;
    std::vector<CBar> mBars;
    std::vector<std::pair<QString, int>> mArtists;
};
