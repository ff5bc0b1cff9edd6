#pragma once

#include <QLabel>

/// A label that never cuts its text mid-glyph: a one-line label ends in "..."
/// when the text is wider than the label; a word-wrapped one shows the lines
/// that fit and ends the last of them in "...". text() stays the whole text,
/// which is also the tooltip while part of it is hidden.
class CElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit CElidedLabel(QWidget* parent = nullptr);

    /// Sets the text (use this rather than setText, so the tooltip follows).
    void SetText(const QString& text);
    /// Whether part of the text is hidden at the label's current size.
    bool IsElided() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    /// The lines to draw at the current width and height.
    QStringList VisibleLines(bool* elided) const;
    void RefreshTooltip();
};
