#pragma once

#include <QString>
#include <QWizardPage>

class CElidedLabel;
class QProgressBar;

/// An inner wizard page that shows work under way: a progress bar from 0
/// to 100 and a one-line status text below its header and information text.
class CWizardProgressPage : public QWizardPage {
    Q_OBJECT
public:
    CWizardProgressPage(const QString& header, const QString& info, QWidget* parent = nullptr);

    void SetProgress(int percent);
    int Progress() const;
    void SetStatusText(const QString& text);
    QString StatusText() const;

private:
    QProgressBar* mpBar = nullptr;
    CElidedLabel* mpStatus = nullptr;
};
