#include "update/wizards/AddPlayerDialog.h"

#include "update/WinUtils.h"
#include "ui/MessageBox.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

CAddPlayerDialog::CAddPlayerDialog(const QStringList& players, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Add Player"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    mpPlayers = new QComboBox(this);
    mpPlayers->setObjectName(QStringLiteral("player"));
    mpPlayers->addItems(players);
    mpPlayers->setPlaceholderText(QStringLiteral("Select a player"));
    mpPlayers->setCurrentIndex(-1);
    mpLocation = new QLineEdit(this);
    mpLocation->setObjectName(QStringLiteral("location"));
    mpLocation->setMinimumWidth(fontMetrics().averageCharWidth() * 50);
    auto* browse = new QPushButton(QStringLiteral("&Browse..."), this);
    browse->setObjectName(QStringLiteral("browse"));
    browse->setAutoDefault(false);
    connect(browse, &QPushButton::clicked, this, &CAddPlayerDialog::Browse);
    auto* where = new QHBoxLayout;
    where->addWidget(mpLocation, 1);
    where->addWidget(browse);
    form->addRow(QStringLiteral("&Player:"), mpPlayers);
    auto* locationLabel = new QLabel(QStringLiteral("&Location:"), this);
    locationLabel->setBuddy(mpLocation);
    form->addRow(locationLabel, where);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
    connect(buttons, &QDialogButtonBox::accepted, this, &CAddPlayerDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CAddPlayerDialog::reject);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

int CAddPlayerDialog::PlayerIndex() const {
    return mpPlayers->currentIndex();
}

QString CAddPlayerDialog::Location() const {
    return mpLocation->text();
}

void CAddPlayerDialog::accept() {
    if (PlayerIndex() < 0 || Location().isEmpty()) {
        CMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("Field Empty"),
                          QStringLiteral("Please select a player and enter a path."));
        return;
    }
    const QFileInfo file(Location());
    if (!file.exists() || file.isDir()) {
        CMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("File Error"),
                          QStringLiteral("That file doesn't exist."));
        return;
    }
    QDialog::accept();
}

void CAddPlayerDialog::Browse() {
    if (FilePicker() != nullptr)
        return;
    QString start;
    try {
        start = QString::fromStdString(CWinUtils::GetProgramFilesPath());
    } catch (const std::exception&) {
        start = QStringLiteral("/");
    }
    auto* picker = new QFileDialog(this, QStringLiteral("Open"), start);
    picker->setObjectName(QStringLiteral("filePicker"));
    picker->setAttribute(Qt::WA_DeleteOnClose);
    picker->setFileMode(QFileDialog::ExistingFile);
    // Only Qt's own picker can list executable files alone.
    picker->setOption(QFileDialog::DontUseNativeDialog);
    picker->setNameFilter(QStringLiteral("Executables (*)"));
    picker->setFilter(QDir::AllDirs | QDir::Files | QDir::Executable | QDir::NoDotAndDotDot);
    connect(picker, &QFileDialog::fileSelected, this, [this](const QString& file) { mpLocation->setText(file); });
    picker->open();
}

QFileDialog* CAddPlayerDialog::FilePicker() const {
    return findChild<QFileDialog*>(QStringLiteral("filePicker"), Qt::FindDirectChildrenOnly);
}
