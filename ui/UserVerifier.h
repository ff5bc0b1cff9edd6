#pragma once

#include <QString>

#include <string>

class QWidget;
class Vortler;

/// Checks a user name and password with the web service for a window that
/// asks for them (the login dialog, the plug-in wizard's login page).
///
/// The check blocks for up to the client's time limits, so it runs on a
/// thread of its own while a local event loop keeps the window painting;
/// user input waits until the answer is in, as it would for a window whose
/// thread is busy, and the wait cursor shows meanwhile. Any answer but
/// "accepted" is shown in a "Login Failed" box over the window.
///
/// User-interface thread only.
class CUserVerifier {
public:
    CUserVerifier() = delete;

    /// The answers of Vortler::verifyUser.
    enum EAnswer : int { kAccepted = 0, kUnknownUser = 1, kWrongPassword = 2, kNoContact = 3 };

    /// Verifies the user with the password hash through the client and
    /// returns its answer; shows the answer's message when it is not
    /// kAccepted.
    static int Verify(QWidget* window, Vortler& client, const std::string& user, const std::string& passwordHash);

    /// The password hash of a password as typed: the MD5, in lowercase hex,
    /// of its UTF-8 form. The typed text itself is kept nowhere.
    static std::string PasswordHash(const QString& password);

    /// "Login Failed", the caption of the messages below.
    static QString FailureCaption();
    /// The message of an answer; empty for kAccepted.
    static QString FailureText(int answer);
    /// Shows the message of an answer (not kAccepted) over the window.
    static void ShowFailure(QWidget* window, int answer);
};
