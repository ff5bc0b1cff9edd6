#include "ui/UserVerifier.h"

#include "app/Logger.h"
#include "submit/Md5.h"
#include "submit/Vortler.h"
#include "ui/MessageBox.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QObject>

#include <exception>
#include <thread>

namespace {

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
        QEventLoop loop;
        // Lives on this thread: the worker's quit is delivered by the loop.
        QObject receiver;
        std::thread worker;
        worker = std::thread([&answer, &loop, &receiver, &client, &user, &passwordHash, self = &worker] {
            VBX_LOG(3, "VerifyUserThread started at: " << static_cast<const void*>(self)
                                                        << " ID: " << LogDetail::ThreadId() << "\n");
            try {
                answer = client.verifyUser(user, passwordHash, true);
            } catch (const std::exception& e) {
                VBX_LOG(1, "Verifying the user failed: " << e.what() << "\n");
                answer = kNoContact;
            }
            QMetaObject::invokeMethod(&receiver, [&loop] { loop.quit(); }, Qt::QueuedConnection);
        });
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
