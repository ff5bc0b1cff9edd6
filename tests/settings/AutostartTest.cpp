#include "settings/Autostart.h"

#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

std::string Which(const std::string& program) {
    for (const char* folder : {"/usr/bin/", "/bin/", "/usr/local/bin/"})
        if (::access((folder + program).c_str(), X_OK) == 0)
            return folder + program;
    return {};
}

// Switched off and on again, with and without the system-wide entry that
// the package installs: off is the person's own entry saying Hidden=true
// (the XDG rule that overrides the system's); on takes it away, or, without
// a system-wide entry, is an entry of the person's own that starts the
// program. Entries written are private and valid desktop entries.
TEST(CAutostartTest, TheChoiceGoesBothWaysWithAndWithoutTheSystemEntry) {
    for (const bool systemEntry : {true, false}) {
        SCOPED_TRACE(systemEntry ? "with a system-wide entry" : "without one");
        CTestEnvironment env;
        const std::string system = env.Root() + "/xdg-system";
        env.Env().Set("XDG_CONFIG_DIRS", env.Root() + "/missing:" + system);
        if (systemEntry) {
            std::filesystem::create_directories(system + "/autostart");
            WriteFile(system + "/autostart/vortlebox.desktop",
                      "[Desktop Entry]\nType=Application\nName=Vortlebox\nExec=vortlebox\n");
        }
        const std::string own = env.ConfigHome() + "/autostart/vortlebox.desktop";
        const std::string program = env.Root() + "/My Programs/vortlebox";
        EXPECT_EQ(CAutostart::IsEnabled(), systemEntry);

        CAutostart::SetEnabled(false, program);
        EXPECT_FALSE(CAutostart::IsEnabled());
        EXPECT_NE(ReadFile(own).find("\nHidden=true\n"), std::string::npos);
        struct stat info {};
        ASSERT_EQ(::stat(own.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);

        CAutostart::SetEnabled(true, program);
        EXPECT_TRUE(CAutostart::IsEnabled());
        EXPECT_EQ(FileExists(own), !systemEntry);
        if (!systemEntry) {
            EXPECT_NE(ReadFile(own).find("\nExec=\"" + program + "\"\n"), std::string::npos) << ReadFile(own);
            const std::string validate = Which("desktop-file-validate");
            if (!validate.empty()) {
                const CTestProcess::CResult checked = CTestProcess::Run({validate, own});
                EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
            }
        }
    }
}

} // namespace
