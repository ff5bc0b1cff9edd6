#include "app/StartupLog.h"

#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>

namespace {

// Bytes that tell their own position, so a wrong cut shows.
std::string Numbered(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return text;
}

struct TrimCase {
    std::size_t size;
    bool cut;
};

TEST(StartupLogTest, LogLargerThanTheLimitKeepsItsLastBytes) {
    CTestEnvironment env;
    const TrimCase cases[] = {{0, false}, {1000, false}, {500000, false}, {500001, true}, {1234567, true}};
    for (const TrimCase& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string path = env.Root() + "/vortler.log";
        const std::string content = Numbered(c.size);
        WriteFile(path, content);
        ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
        if (c.cut) {
            // A temporary file left by a crash, readable by everyone.
            WriteFile(path + ".trim", "stale");
            ASSERT_EQ(::chmod((path + ".trim").c_str(), 0644), 0);
        }
        EXPECT_EQ(CStartupLog::TrimLogFile(path, 500000, 250000), c.cut);
        const std::string after = ReadFile(path);
        if (c.cut)
            EXPECT_EQ(after, content.substr(content.size() - 250000));
        else
            EXPECT_EQ(after, content);
        EXPECT_FALSE(FileExists(path + ".trim"));
        // The log holds the listening history: it stays owner only.
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST(StartupLogTest, MissingLogIsLeftAlone) {
    CTestEnvironment env;
    EXPECT_FALSE(CStartupLog::TrimLogFile(env.Root() + "/none.log"));
    EXPECT_FALSE(FileExists(env.Root() + "/none.log"));
}

struct VersionCase {
    const char* release;
    const char* expected;
};

TEST(StartupLogTest, VersionTextTakesThreeReleaseNumbers) {
    const VersionCase cases[] = {
        {"6.1.0-18-amd64", "Linux 6.1.0 : #1 SMP"},
        {"5.15.133.1-microsoft-standard-WSL2", "Linux 5.15.133 : #1 SMP"},
        {"4.19", "Linux 4.19.0 : #1 SMP"},
        {"6.2.70000", "Linux 6.2.4464 : #1 SMP"}, // the build masked to 16 bits
        {"", "Linux 0.0.0 : #1 SMP"},
        {"rc-6.1", "Linux 0.0.0 : #1 SMP"},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(c.release);
        struct utsname info {};
        std::strcpy(info.sysname, "Linux");
        std::strcpy(info.release, c.release);
        std::strcpy(info.version, "#1 SMP");
        EXPECT_EQ(CStartupLog::FormatVersionText(&info), c.expected);
    }
    EXPECT_EQ(CStartupLog::FormatVersionText(nullptr), " 0.0.0 : ");
}

TEST(StartupLogTest, RunningSystemIsNamed) {
    struct utsname info {};
    ASSERT_EQ(::uname(&info), 0);
    const std::string text = CStartupLog::SystemVersionText();
    EXPECT_EQ(text.rfind(std::string(info.sysname) + " ", 0), 0u) << text;
    EXPECT_NE(text.find(std::string(" : ") + info.version), std::string::npos) << text;
}

} // namespace
