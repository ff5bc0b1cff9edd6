#include "update/wizards/WizardCheckListPage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

CWizardCheckListPage::CWizardCheckListPage(const QString& header, const QString& subTitle, const QString& info,
                                           QWidget* parent)
    : QWizardPage(parent) {
    setTitle(header);
    setSubTitle(subTitle);
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(info, this);
    text->setObjectName(QStringLiteral("info"));
    text->setWordWrap(true);
    mpList = new QListWidget(this);
    mpList->setObjectName(QStringLiteral("entries"));
    mpAdd = new QPushButton(QStringLiteral("Add..."), this);
    mpAdd->setObjectName(QStringLiteral("addButton"));
    mpAdd->hide();
    connect(mpAdd, &QPushButton::clicked, this, &CWizardCheckListPage::addClicked);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(mpAdd);
    layout->addWidget(text);
    layout->addWidget(mpList, 1);
    layout->addLayout(buttons);
}

void CWizardCheckListPage::ShowAddButton() {
    mpAdd->show();
}

void CWizardCheckListPage::Clear() {
    mpList->clear();
}

void CWizardCheckListPage::AddEntry(const QString& text, bool checked, int key) {
    auto* item = new QListWidgetItem(text, mpList);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    item->setData(Qt::UserRole, key);
}

void CWizardCheckListPage::SetEntry(const QString& text, bool checked, int key) {
    const int row = RowOf(key);
    if (row < 0) {
        AddEntry(text, checked, key);
        return;
    }
    mpList->item(row)->setText(text);
    SetChecked(row, checked);
}

int CWizardCheckListPage::RowOf(int key) const {
    for (int row = 0; row < mpList->count(); ++row) {
        if (mpList->item(row)->data(Qt::UserRole).toInt() == key)
            return row;
    }
    return -1;
}

int CWizardCheckListPage::Count() const {
    return mpList->count();
}

QString CWizardCheckListPage::EntryText(int row) const {
    return mpList->item(row)->text();
}

bool CWizardCheckListPage::IsChecked(int row) const {
    return mpList->item(row)->checkState() == Qt::Checked;
}

void CWizardCheckListPage::SetChecked(int row, bool checked) {
    mpList->item(row)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

std::vector<int> CWizardCheckListPage::CheckedKeys() const {
    std::vector<int> keys;
    for (int row = 0; row < mpList->count(); ++row) {
        if (IsChecked(row))
            keys.push_back(mpList->item(row)->data(Qt::UserRole).toInt());
    }
    return keys;
}
