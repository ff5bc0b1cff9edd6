#include "update/wizards/WizardProgressPage.h"

#include "ui/controls/ElidedLabel.h"

#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include <algorithm>

CWizardProgressPage::CWizardProgressPage(const QString& header, const QString& info, QWidget* parent)
    : QWizardPage(parent) {
    setTitle(header);
    setSubTitle(info);
    auto* layout = new QVBoxLayout(this);
    mpBar = new QProgressBar(this);
    mpBar->setObjectName(QStringLiteral("progress"));
    mpBar->setRange(0, 100);
    mpBar->setValue(0);
    mpBar->setTextVisible(false);
    mpStatus = new CElidedLabel(this);
    mpStatus->setObjectName(QStringLiteral("statusText"));
    layout->addSpacing(fontMetrics().height());
    layout->addWidget(mpBar);
    layout->addWidget(mpStatus);
    layout->addStretch(1);
}

void CWizardProgressPage::SetProgress(int percent) {
    mpBar->setValue(std::clamp(percent, 0, 100));
}

int CWizardProgressPage::Progress() const {
    return mpBar->value();
}

void CWizardProgressPage::SetStatusText(const QString& text) {
    mpStatus->SetText(text);
}

QString CWizardProgressPage::StatusText() const {
    return mpStatus->text();
}
