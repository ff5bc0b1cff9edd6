#include "ui/UserVerifier.h"

#include "app/CrashHandler.h"
#include "app/Logger.h"
#include "submit/Md5.h"
#include "submit/Vortler.h"
#include "ui/MessageBox.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

namespace {

// How often the window's thread looks whether the answer is in.
constexpr std::chrono::milliseconds kPollInterval{20};

/// The wait cursor over the whole program while it lives.
class CWaitCursor {
public:
    CWaitCursor() { QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    ~CWaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};

} // namespace

int CUserVerifier::Verify(QWidget* window, Vortler& client, const std::string& user,
                          const std::string& passwordHash) {
    int answer = kNoContact;
    {
        CWaitCursor cursor;
        // The worker only sets a flag; the window's thread looks at it
        // between paints, so nothing of Qt is shared with the worker.
        std::atomic<bool> done{false};
        std::thread worker;
        worker = CCrashHandler::StartThread([&answer, &done, &client, &user, &passwordHash, self = &worker] {
            VBX_LOG(3, "VerifyUserThread started at: " << static_cast<const void*>(self)
                                                        << " ID: " << LogDetail::ThreadId() << "\n");
            try {
                answer = client.verifyUser(user, passwordHash, true);
            } catch (const std::exception& e) {
                VBX_LOG(1, "Verifying the user failed: " << e.what() << "\n");
                answer = kNoContact;
            }
            done.store(true, std::memory_order_release);
        });
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&done, &loop] {
            if (done.load(std::memory_order_acquire))
                loop.quit();
        });
        poll.start(kPollInterval);
        // Paints and timers go on; clicks and keys wait for the answer, so
        // the window cannot be closed or asked twice meanwhile.
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        worker.join();
    }
    VBX_LOG(3, "Verification of " << user << " answered " << answer << "\n");
    if (answer != kAccepted)
        ShowFailure(window, answer);
    return answer;
}

std::string CUserVerifier::PasswordHash(const QString& password) {
    const QByteArray utf8 = password.toUtf8();
    return md5Hex(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

QString CUserVerifier::FailureCaption() {
    return QStringLiteral("Login Failed");
}

QString CUserVerifier::FailureText(int answer) {
    switch (answer) {
    case kAccepted:
        return {};
    case kUnknownUser:
        return QStringLiteral("No Fenwave user with that username was found.\n"
                              "Please enter the username you used to sign up at Fenwave.");
    case kWrongPassword:
        return QStringLiteral("The password isn't correct.\n"
                              "Please enter the password you used to sign up at Fenwave.");
    default:
        return QStringLiteral("Couldn't contact the web server to verify the user details.\n"
                              "If you're connected to the Internet, please try again later.");
    }
}

void CUserVerifier::ShowFailure(QWidget* window, int answer) {
    CMessageBox::Show(window, QMessageBox::Critical, FailureCaption(), FailureText(answer));
}
