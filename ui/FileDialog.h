#pragma once

#include <QString>

#include <optional>

class QWidget;

/// The program's file choosers, with the same seams as CMessageBox: a test
/// sets the next answer beforehand (SetNextFileName) and nothing blocks;
/// without a display nothing is shown and the answer is "cancelled".
class CFileDialog {
public:
    CFileDialog() = delete;

    /// Asks modally for a file to save to, starting at `start`; filters as
    /// QFileDialog takes them ("CSV files (*.csv);;..."). Empty when the
    /// person cancelled; `chosenFilter` (if given) receives the filter chosen.
    static QString SaveFileName(QWidget* parent, const QString& caption, const QString& start,
                                const QString& filters, QString* chosenFilter = nullptr);
    /// The next chooser answers this at once (once); "" answers cancelled.
    static void SetNextFileName(const QString& path);
    /// The caption of the last chooser asked for; nullopt before the first.
    static std::optional<QString> LastCaption();
};
