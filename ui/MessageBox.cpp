#include "ui/MessageBox.h"

#include "app/Logger.h"

#include <QGuiApplication>

#include <mutex>

namespace {

struct State {
    std::optional<QMessageBox::StandardButton> nextAnswer;
    CMessageBox::ShowHook hook;
    std::optional<CMessageBox::CShown> last;
};

// Boxes belong to the user-interface thread; the lock only keeps a test
// that sets an answer from another thread honest.
std::mutex gMutex;
State gState;

} // namespace

bool CMessageBox::IsHeadless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

QMessageBox::StandardButton CMessageBox::QuietAnswer(QMessageBox::StandardButtons buttons) {
    for (const QMessageBox::StandardButton quiet :
         {QMessageBox::Cancel, QMessageBox::No, QMessageBox::Close, QMessageBox::Abort, QMessageBox::Ok}) {
        if (buttons.testFlag(quiet))
            return quiet;
    }
    return QMessageBox::NoButton;
}

QMessageBox::StandardButton CMessageBox::Show(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                                              const QString& text, QMessageBox::StandardButtons buttons,
                                              QMessageBox::StandardButton defaultButton) {
    std::optional<QMessageBox::StandardButton> answer;
    ShowHook hook;
    {
        std::lock_guard<std::mutex> guard(gMutex);
        gState.last = CShown{icon, caption, text, buttons};
        answer = gState.nextAnswer;
        gState.nextAnswer.reset();
        hook = gState.hook;
    }
    if (answer)
        return *answer;

    QMessageBox box(icon, caption, text, buttons, parent);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    if (hook)
        return hook(box);
    if (IsHeadless()) {
        VBX_LOG(1, "Message box not shown (no display): " << caption.toStdString() << ": " << text.toStdString()
                                                          << "\n");
        return QuietAnswer(buttons);
    }
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void CMessageBox::SetNextAnswer(QMessageBox::StandardButton answer) {
    std::lock_guard<std::mutex> guard(gMutex);
    gState.nextAnswer = answer;
}

void CMessageBox::SetShowHook(ShowHook hook) {
    std::lock_guard<std::mutex> guard(gMutex);
    gState.hook = std::move(hook);
}

std::optional<CMessageBox::CShown> CMessageBox::LastShown() {
    std::lock_guard<std::mutex> guard(gMutex);
    return gState.last;
}

void CMessageBox::Reset() {
    std::lock_guard<std::mutex> guard(gMutex);
    gState = State();
}
