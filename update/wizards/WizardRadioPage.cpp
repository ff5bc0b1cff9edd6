#include "update/wizards/WizardRadioPage.h"

#include "res/StringTable.h"
#include "update/wizards/WizardPictures.h"
#include "update/wizards/WizardSheet.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

CWizardRadioPage::CWizardRadioPage(QWidget* parent) : QWizardPage(parent) {
    setTitle(CWizardSheet::Text(IDS_RADIO_HEADER));
    setSubTitle(CWizardSheet::Text(IDS_RADIO_INFO));
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("radioPicture"));
    picture->setPixmap(CWizardPictures::Radio(devicePixelRatioF()));
    picture->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    mpText = new QLabel(this);
    mpText->setObjectName(QStringLiteral("radioText"));
    mpText->setWordWrap(true);
    mpText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    row->addWidget(picture, 0, Qt::AlignTop);
    row->addSpacing(fontMetrics().averageCharWidth() * 2);
    row->addWidget(mpText, 1);
    mpInstall = new QCheckBox(QStringLiteral("Install Fenwave Radio"), this);
    mpInstall->setObjectName(QStringLiteral("installRadio"));
    layout->addSpacing(fontMetrics().height() / 2);
    layout->addLayout(row);
    layout->addSpacing(fontMetrics().height());
    layout->addWidget(mpInstall);
    layout->addStretch(1);
}

void CWizardRadioPage::SetText(const QString& text) {
    mpText->setText(text);
}

QString CWizardRadioPage::Text() const {
    return mpText->text();
}

bool CWizardRadioPage::IsChecked() const {
    return mpInstall->isChecked();
}

void CWizardRadioPage::SetChecked(bool checked) {
    mpInstall->setChecked(checked);
}
