#include "ui/OptionsPage.h"

#include "app/Logger.h"
#include "ui/MessageBox.h"

COptionsPage::COptionsPage(QWidget* parent) : QWidget(parent) {}

bool COptionsPage::Store() {
    return !mbLoaded || Save();
}

void COptionsPage::EnsureLoaded() {
    if (mbLoaded)
        return;
    mbLoaded = true;
    Load();
}

void COptionsPage::SetModified(bool modified) {
    if (mbModified == modified)
        return;
    mbModified = modified;
    emit modifiedChanged(modified);
}

void COptionsPage::showEvent(QShowEvent* event) {
    EnsureLoaded();
    QWidget::showEvent(event);
}

void COptionsPage::ShowRegistryError(const std::exception& e) {
    VBX_LOG(1, "RegistryException: " << e.what() << "\n");
    CMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("Registry Error"), QString::fromUtf8(e.what()));
}

void COptionsPage::ShowError(const QString& caption, const std::exception& e) {
    VBX_LOG(1, caption.toStdString() << ": " << e.what() << "\n");
    CMessageBox::Show(this, QMessageBox::Critical, caption, QString::fromUtf8(e.what()));
}
