#include "tests/ui/desktop/Desktop.h"

#include "tests/player/PlayerTestBase.h"

#include <QCoreApplication>
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QStringList>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace {

struct CState {
    std::unique_ptr<CTestProcess> xServer;
    std::unique_ptr<QApplication> app;
    std::string display;
    std::string problem;
    int argc = 1;
    char name[16] = "test_desktop";
    char* argv[2] = {name, nullptr};
};

CState& State() {
    static CState state;
    return state;
}

class CDesktopEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        CState& state = State();
        const std::string xvfb = CDesktop::Which("Xvfb");
        if (xvfb.empty()) {
            state.problem = "Xvfb is not installed";
            return;
        }
        CTestProcess::COptions options;
        options.pipeStdout = true;
        state.xServer = std::make_unique<CTestProcess>(
            std::vector<std::string>{xvfb, "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
            options);
        std::string number;
        if (!state.xServer->ReadLine(number, std::chrono::seconds(30)) || number.empty()) {
            state.problem = "Xvfb did not start";
            return;
        }
        state.display = ":" + number;
        ::setenv("DISPLAY", state.display.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::unsetenv("WAYLAND_DISPLAY");
        state.app = std::make_unique<QApplication>(state.argc, state.argv);
    }
    void TearDown() override {
        State().app.reset();
        State().xServer.reset();
    }
};

[[maybe_unused]] ::testing::Environment* const gDesktop =
    ::testing::AddGlobalTestEnvironment(new CDesktopEnvironment);

} // namespace

const std::string& CDesktop::Display() {
    return State().display;
}

const std::string& CDesktop::Problem() {
    return State().problem;
}

std::string CDesktop::Which(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = folder + "/" + program;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

std::string CDesktop::XDoTool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{Which("xdotool")};
    argv.insert(argv.end(), args.begin(), args.end());
    return CTestProcess::Run(argv, std::chrono::seconds(30)).out;
}

std::vector<CDesktop::CWindow> CDesktop::VisibleWindows(const std::string& className) {
    std::vector<CWindow> windows;
    std::stringstream ids(XDoTool({"search", "--onlyvisible", "--classname", className}));
    std::string id;
    while (ids >> id) {
        // "X=..", "Y=..", "WIDTH=..", "HEIGHT=.." lines.
        std::stringstream shell(XDoTool({"getwindowgeometry", "--shell", id}));
        std::string line;
        int x = 0, y = 0, w = 0, h = 0;
        while (std::getline(shell, line)) {
            const auto value = [&line](const char* key) {
                return line.rfind(key, 0) == 0 ? std::atoi(line.c_str() + std::char_traits<char>::length(key)) : -1;
            };
            if (value("X=") >= 0) x = value("X=");
            if (value("Y=") >= 0) y = value("Y=");
            if (value("WIDTH=") >= 0) w = value("WIDTH=");
            if (value("HEIGHT=") >= 0) h = value("HEIGHT=");
        }
        windows.push_back({id, QRect(x, y, w, h)});
    }
    return windows;
}

QImage CDesktop::Grab(const QRect& rect) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return {};
    return screen->grabWindow(0, rect.x(), rect.y(), rect.width(), rect.height()).toImage();
}

CTrayHost::CTrayHost() {
    mProcess = std::make_unique<CTestProcess>(
        std::vector<std::string>{CDesktop::Which("trayer"), "--edge", "bottom", "--align", "right", "--widthtype",
                                 "pixel", "--width", "160", "--heighttype", "pixel", "--height", "26"},
        CTestProcess::COptions{});
}

CTrayHost::~CTrayHost() {
    mProcess->Stop();
}

bool CTrayHost::WaitReady() {
    return CPlayerTestBase::WaitUntil([] {
        QCoreApplication::processEvents();
        return QSystemTrayIcon::isSystemTrayAvailable();
    });
}

CIconColours CIconColours::Of(const QImage& image) {
    CIconColours colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.green() > c.red() + 50 && c.green() > c.blue() + 30)
                ++colours.green;
            if (c.red() > 150 && c.green() < 90 && c.blue() < 90)
                ++colours.red;
        }
    }
    return colours;
}

namespace {

/// A dbusmenu method of an item's menu, called with gdbus; its output, or
/// nothing when the call failed.
std::optional<std::string> MenuCall(const std::string& item, const std::string& method,
                                    const std::vector<std::string>& args) {
    std::vector<std::string> argv{CDesktop::Which("gdbus"), "call", "--session", "--dest", item,
                                  "--object-path", "/MenuBar", "--method", "com.canonical.dbusmenu." + method};
    argv.insert(argv.end(), args.begin(), args.end());
    const CTestProcess::CResult result = CTestProcess::Run(argv, std::chrono::seconds(30));
    if (result.exitCode != 0)
        return std::nullopt;
    return result.out;
}

} // namespace

CStatusNotifierTray::CStatusNotifierTray()
    : mProcess(std::make_unique<CTestProcess>(std::vector<std::string>{BinDir() + "/vbx-sni-watcher"},
                                              CTestProcess::COptions{.pipeStdout = true})) {}

bool CStatusNotifierTray::WaitReady() {
    std::string line;
    return mProcess->ReadLine(line, std::chrono::seconds(30)) && line == "ready";
}

std::string CStatusNotifierTray::WaitItem() {
    std::string line;
    if (!mProcess->ReadLine(line, std::chrono::seconds(60)) || line.rfind("item ", 0) != 0)
        return {};
    return line.substr(5);
}

std::map<std::string, int> CStatusNotifierTray::MenuIds(const std::string& item) {
    std::map<std::string, int> ids;
    // "int32 -1": a bare "-1" would be taken for an option.
    const std::optional<std::string> out = MenuCall(item, "GetLayout", {"0", "int32 -1", "@as []"});
    if (!out)
        return ids;
    // Each entry reads "(ID, {... 'label': <'TEXT'> ...}, [...])".
    static const std::regex entry(R"(\((\d+), \{[^}]*'label': <'([^']*)'>)");
    for (std::sregex_iterator it(out->begin(), out->end(), entry), end; it != end; ++it) {
        std::string label = (*it)[2].str();
        label.erase(std::remove(label.begin(), label.end(), '&'), label.end());
        ids[label] = std::stoi((*it)[1].str());
    }
    return ids;
}

bool CStatusNotifierTray::Click(const std::string& item, int id) {
    return MenuCall(item, "Event", {std::to_string(id), "clicked", "<0>", "0"}).has_value();
}
