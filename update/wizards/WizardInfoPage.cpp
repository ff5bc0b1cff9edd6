#include "update/wizards/WizardInfoPage.h"

#include "update/wizards/WizardPictures.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

CWizardInfoPage::CWizardInfoPage(bool exterior, QWidget* parent) : QWizardPage(parent) {
    auto* layout = new QVBoxLayout(this);
    mpHeader = new QLabel(this);
    mpHeader->setObjectName(QStringLiteral("header"));
    mpHeader->setFont(HeaderFont());
    mpHeader->setWordWrap(true);
    mpInfo = new QLabel(this);
    mpInfo->setObjectName(QStringLiteral("info"));
    mpInfo->setWordWrap(true);
    mpInfo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    mpCheck = new QCheckBox(this);
    mpCheck->setObjectName(QStringLiteral("check"));
    mpCheck->hide();
    layout->addWidget(mpHeader);
    layout->addSpacing(fontMetrics().height());
    layout->addWidget(mpInfo);
    layout->addStretch(1);
    layout->addWidget(mpCheck);
    SetExterior(exterior);
}

QFont CWizardInfoPage::HeaderFont() {
    QFont font(QStringLiteral("Verdana"), 12, 700);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

void CWizardInfoPage::SetExterior(bool exterior) {
    mbExterior = exterior;
    mWatermarkHeight = 0;
    setPixmap(QWizard::WatermarkPixmap, exterior ? CWizardPictures::Watermark(devicePixelRatioF()) : QPixmap());
    mpHeader->setVisible(exterior);
    setTitle(exterior ? QString() : mHeaderText);
    setSubTitle(exterior ? QString() : mSubTitle);
}

void CWizardInfoPage::SetSubTitle(const QString& subTitle) {
    mSubTitle = subTitle;
    if (!mbExterior)
        setSubTitle(subTitle);
}

void CWizardInfoPage::SetHeader(const QString& header) {
    mHeaderText = header;
    mpHeader->setText(header);
    if (!mbExterior)
        setTitle(header);
}

void CWizardInfoPage::resizeEvent(QResizeEvent* event) {
    QWizardPage::resizeEvent(event);
    // The watermark runs down the whole side of the page, however tall the
    // wizard has grown.
    const QWidget* frame = parentWidget();
    if (!mbExterior || frame == nullptr || frame->height() <= 0 || frame->height() == mWatermarkHeight)
        return;
    mWatermarkHeight = frame->height();
    setPixmap(QWizard::WatermarkPixmap, CWizardPictures::Watermark(devicePixelRatioF(), mWatermarkHeight));
}

QString CWizardInfoPage::Header() const {
    return mHeaderText;
}

void CWizardInfoPage::SetInfo(const QString& info) {
    mpInfo->setText(info);
}

QString CWizardInfoPage::Info() const {
    return mpInfo->text();
}

void CWizardInfoPage::SetCheck(const QString& text, bool checked) {
    mpCheck->setText(text);
    mpCheck->setChecked(checked);
    mpCheck->show();
}

bool CWizardInfoPage::IsChecked() const {
    return !mpCheck->isHidden() && mpCheck->isChecked();
}
