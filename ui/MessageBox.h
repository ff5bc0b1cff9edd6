#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>
#include <optional>

class QWidget;

/// Every modal message box of the program goes through here, so that:
/// - a test sets the answer of the next box beforehand (SetNextAnswer) and
///   nothing blocks; LastShown() tells what the box said;
/// - a program without a display (offscreen) shows nothing: the box's text
///   is logged and the answer is the one that changes nothing (Cancel, No,
///   or OK when the box has only OK);
/// - a tool may take each box as it is built (SetShowHook), e.g. to take a
///   picture of it.
class CMessageBox {
public:
    CMessageBox() = delete;

    /// What a box said.
    struct CShown {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString caption;
        QString text;
        QMessageBox::StandardButtons buttons;
    };
    /// Receives the finished box instead of it being run; returns the answer.
    using ShowHook = std::function<QMessageBox::StandardButton(QMessageBox& box)>;

    /// Shows the box modally over parent and returns the button chosen.
    static QMessageBox::StandardButton Show(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                                            const QString& text,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                            QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

    /// The next box answers this at once (once).
    static void SetNextAnswer(QMessageBox::StandardButton answer);
    /// Every box goes to the hook until it is reset with an empty one.
    static void SetShowHook(ShowHook hook);
    /// The last box shown, answered or logged; nullopt before the first.
    static std::optional<CShown> LastShown();
    /// Forgets the last box, a pending answer and the hook.
    static void Reset();
    /// Whether boxes are only logged (no display).
    static bool IsHeadless();
    /// The answer of a box that is not shown: the one that changes nothing.
    static QMessageBox::StandardButton QuietAnswer(QMessageBox::StandardButtons buttons);
};
