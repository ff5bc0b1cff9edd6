#pragma once

#include <QString>
#include <QWizardPage>

class QCheckBox;
class QLabel;

/// The plug-in wizard's offer of the radio application: a text (to install
/// or to upgrade it), its picture and the "Install Fenwave Radio" box.
class CWizardRadioPage : public QWizardPage {
    Q_OBJECT
public:
    explicit CWizardRadioPage(QWidget* parent = nullptr);

    void SetText(const QString& text);
    QString Text() const;
    bool IsChecked() const;
    void SetChecked(bool checked);

private:
    QLabel* mpText = nullptr;
    QCheckBox* mpInstall = nullptr;
};
