#pragma once

#include "tests/support/TestProcess.h"

#include <QImage>
#include <QRect>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// The X display every test of this program shares: a private Xvfb started
/// before the first test, and this process's own Qt connected to it (to
/// look at the screen). Tests start a tray host on it when they need one.
class CDesktop {
public:
    /// The display's name (":N"); "" when no X server could be started.
    static const std::string& Display();
    /// Why there is no display.
    static const std::string& Problem();

    /// The full path of a program on the search path; "" if there is none.
    static std::string Which(const std::string& program);

    /// Runs xdotool with the arguments; its standard output.
    static std::string XDoTool(const std::vector<std::string>& args);
    /// The visible windows of a WM_CLASS name, with their places.
    struct CWindow {
        std::string id;
        QRect geometry;
    };
    static std::vector<CWindow> VisibleWindows(const std::string& className);
    /// The part of the screen at rect.
    static QImage Grab(const QRect& rect);
};

/// A tray host (trayer) on the shared display, for the life of the object.
class CTrayHost {
public:
    CTrayHost();
    ~CTrayHost();
    /// Whether the host has taken the tray selection.
    bool WaitReady();

private:
    std::unique_ptr<CTestProcess> mProcess;
};

/// A StatusNotifier watcher with a host (vbx-sni-watcher) on the test's
/// session bus; the test triggers the items' menu entries as the host
/// would, with com.canonical.dbusmenu Event calls (through gdbus).
class CStatusNotifierTray {
public:
    CStatusNotifierTray();
    /// Whether it holds the watcher's name.
    bool WaitReady();
    /// The bus name of the next item that registers; "" if none does.
    std::string WaitItem();

    /// The ids of an item's menu entries by their labels ("&" removed).
    static std::map<std::string, int> MenuIds(const std::string& item);
    /// Clicks a menu entry as the host does; whether the call went through.
    static bool Click(const std::string& item, int id);

private:
    std::unique_ptr<CTestProcess> mProcess;
};

/// Counts the pixels of an icon by the colour they show.
struct CIconColours {
    int green = 0;
    int red = 0;
    static CIconColours Of(const QImage& image);
};
