#pragma once

#include "settings/SettingsManager.h"
#include "submit/Md5.h"
#include "submit/WebSubmitter.h"
#include "tests/submit/SubmitTestSupport.h"
#include "tests/support/FenwaveSimulator.h"
#include "tests/support/TestEnv.h"
#include "tests/ui/QtTestApplication.h"
#include "ui/MessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QTimer>
#include <QWidget>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

/// What a dialog meets in the program before the submitter is initialised:
/// a private environment, the simulated Fenwave servers (which know alice,
/// password "secret"), the restored settings and an uninitialised web
/// submitter to verify users with.
class CDialogWorld {
public:
    using Users = std::vector<std::pair<std::string, std::string>>;

    explicit CDialogWorld(const Users& simUsers = {{"alice", "secret"}}) : sim(simUsers) {
        SetServerHosts(sim.SubmitHost(), sim.WebHost());
        settings.Restore();
        CMessageBox::Reset();
    }
    ~CDialogWorld() { CMessageBox::Reset(); }

    /// Stores a user with that password, as the program would have.
    CUser AddStoredUser(const std::string& name, const std::string& password, int colour = 0,
                        bool remember = true) {
        CUser user;
        user.name = name;
        user.passwordHash = md5Hex(password);
        user.colour = colour;
        user.rememberPassword = remember;
        user.submitPlays = true;
        settings.AddUser(user);
        return user;
    }

    /// Requests the web service has received.
    std::size_t WebRequests() { return sim.Requests(CFenwaveSimulator::ERole::Web).size(); }

    CTestEnvironment env;
    CLogCapture log;
    CFenwaveSimulator sim;
    CSettingsManager settings;
    CWebSubmitter client{settings};
};

/// Clicks the named button of a window with the mouse.
inline void ClickButton(QWidget& window, const char* name) {
    auto* button = window.findChild<QAbstractButton*>(QLatin1String(name));
    ASSERT_NE(button, nullptr) << name;
    ASSERT_TRUE(button->isEnabled()) << name;
    QTest::mouseClick(button, Qt::LeftButton);
}

/// Clicks a check box on its box, whatever the width of its line.
inline void ClickCheckBox(QCheckBox& box) {
    QTest::mouseClick(&box, Qt::LeftButton, {}, QPoint(box.iconSize().width() / 2 + 2, box.height() / 2));
}

/// Types the text into the widget key by key, characters outside ASCII as
/// an input method would deliver them.
inline void TypeText(QWidget* widget, const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClick(widget, static_cast<char>(c.unicode()));
        else
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

/// Runs the action on the next modal window of type T once it is up (from
/// within its own event loop), looking for it for 20 s at most. The flag
/// tells whether it ran and must outlive the search.
template <class T> void WhenModal(std::function<void(T&)> action, bool& ran) {
    ran = false;
    auto* poll = new QTimer;
    poll->setInterval(20);
    auto attempts = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, [poll, action = std::move(action), attempts, &ran] {
        auto* window = qobject_cast<T*>(QApplication::activeModalWidget());
        const bool found = window != nullptr && window->isVisible();
        if (!found && ++*attempts < 1000)
            return;
        poll->stop();
        poll->deleteLater();
        if (!found)
            return;
        ran = true;
        action(*window);
    });
    poll->start();
}
