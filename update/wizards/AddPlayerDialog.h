#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class QComboBox;
class QFileDialog;
class QLineEdit;

/// "Add Player": tells the plug-in wizard where a player that it did not
/// find is installed. A drop-down of the players the wizard knows, the
/// location of the player's program (typed, or picked with "Browse..."
/// among executable files), OK and Cancel. OK insists on a player and a
/// location that is an existing file.
class CAddPlayerDialog : public QDialog {
    Q_OBJECT
public:
    CAddPlayerDialog(const QStringList& players, QWidget* parent = nullptr);

    /// The chosen player's position in the list; -1 for none.
    int PlayerIndex() const;
    QString Location() const;

    void accept() override;
    /// Opens the file picker (window-modal, not blocking); a chosen file
    /// becomes the location.
    void Browse();
    /// The file picker while it is open, else null.
    QFileDialog* FilePicker() const;

private:
    QComboBox* mpPlayers = nullptr;
    QLineEdit* mpLocation = nullptr;
};
