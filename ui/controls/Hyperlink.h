#pragma once

#include <QLabel>
#include <QString>

/// A text that is a link: underlined, with the hand cursor, black until it
/// has been opened and grey afterwards. A click, or the space key, opens the
/// URL in the desktop's browser (QDesktopServices) and marks the link
/// visited. Takes the keyboard focus, which shows as a dotted rectangle.
class CHyperlink : public QLabel {
    Q_OBJECT
public:
    explicit CHyperlink(QWidget* parent = nullptr);

    /// The page the link opens; a later call replaces it.
    void SetUrl(const QString& url);
    const QString& Url() const noexcept { return mUrl; }
    bool IsVisited() const noexcept { return mbVisited; }
    bool IsHovering() const noexcept { return mbHovering; }
    /// Opens the URL and marks the link visited, as a click does.
    void Open();

    static QColor UnvisitedColour();
    static QColor VisitedColour();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void ApplyColour();

    QString mUrl;
    bool mbVisited = false;
    bool mbHovering = false;
};
