#include "update/WinUtils.h"

#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct TrimCase {
    std::string input;
    std::string expected;
};

class TrimTest : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimTest, TrimsAsDocumented) {
    std::string text = GetParam().input;
    CWinUtils::Trim(text);
    EXPECT_EQ(text, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Lines, TrimTest,
                         ::testing::Values(TrimCase{"\t", ""}, TrimCase{"", ""}, TrimCase{" \r\n\f ", ""},
                                           TrimCase{"  [Section]\r", "[Section]\r"},
                                           TrimCase{"\n\tkey=value \t", "key=value"}, TrimCase{"a b", "a b"},
                                           TrimCase{"x\r\n  ", "x\r\n"}));

struct SplitCase {
    std::string line;
    std::vector<std::string> fields;
};

class SplitQuotedTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitQuotedTest, SplitsFields) {
    EXPECT_EQ(CWinUtils::SplitQuoted(GetParam().line), GetParam().fields);
}

INSTANTIATE_TEST_SUITE_P(Lines, SplitQuotedTest,
                         ::testing::Values(SplitCase{R"("one","two","three")", {"one", "two", "three"}},
                                           SplitCase{R"("say ""hi""" "x")", {R"(say "hi")", "x"}},
                                           SplitCase{R"("a" "b)", {"a"}}, SplitCase{R"("a" ")", {"a"}},
                                           SplitCase{"", {}}, SplitCase{"no quotes", {}},
                                           SplitCase{R"(junk "a" junk "" end)", {"a", ""}},
                                           SplitCase{R"("""" "x""")", {"\"", "x\""}},
                                           SplitCase{R"("C:\A" "D:\B" )", {"C:\\A", "D:\\B"}}));

struct StripCase {
    std::string input;
    std::string expected;
};

class StripBracketedTest : public ::testing::TestWithParam<StripCase> {};

TEST_P(StripBracketedTest, RemovesBracketedParts) {
    std::string text = GetParam().input;
    CWinUtils::StripBracketed(text);
    EXPECT_EQ(text, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, StripBracketedTest,
                         ::testing::Values(StripCase{"Song [Live] [Remix]", "Song  "},
                                           StripCase{"[a]b[c]d", "bd"}, StripCase{"open [end", "open [end"},
                                           StripCase{"last[", "last["}, StripCase{"a]b[c", "a]b[c"},
                                           StripCase{"[[x]]", "]"}, StripCase{"plain", "plain"}));

TEST(WinUtilsFolders, ProgramFilesPathFollowsTheEnvironment) {
    CScopedEnv env;
    env.Unset("VORTLEBOX_PROGRAM_FILES");
    EXPECT_EQ(CWinUtils::GetProgramFilesPath(), "/");
    env.Set("VORTLEBOX_PROGRAM_FILES", "/opt/programs");
    EXPECT_EQ(CWinUtils::GetProgramFilesPath(), "/opt/programs/");
    env.Set("VORTLEBOX_PROGRAM_FILES", "/opt/programs/");
    EXPECT_EQ(CWinUtils::GetProgramFilesPath(), "/opt/programs/");
}

TEST(WinUtilsFolders, ProgramFilesPathThatCannotBeHadThrowsAndLogs) {
    for (const char* bad : {"", "relative/dir"}) {
        CLogCapture log;
        CScopedEnv env;
        env.Set("VORTLEBOX_PROGRAM_FILES", bad);
        try {
            CWinUtils::GetProgramFilesPath();
            ADD_FAILURE() << "no exception for '" << bad << "'";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), "Couldn't get Program Files dir.");
        }
        EXPECT_TRUE(log.Contains("L1\n  Couldn't get Program Files dir, is this possibly Win 9x?\n"));
    }
}

TEST(WinUtilsFolders, TempFolderFollowsTmpdir) {
    CScopedEnv env;
    env.Set("TMPDIR", "/var/tmp/x");
    EXPECT_EQ(CWinUtils::GetTempFolder(), "/var/tmp/x/");
    env.Set("TMPDIR", "");
    EXPECT_EQ(CWinUtils::GetTempFolder(), "/tmp/");
    env.Unset("TMPDIR");
    EXPECT_EQ(CWinUtils::GetTempFolder(), "/tmp/");
}

TEST(WinUtilsFolders, CreateFolderPathMakesEveryParent) {
    CTempDir dir;
    CWinUtils::CreateFolderPath(dir.Path() + "/a/b/c/");
    EXPECT_TRUE(IsFolder(dir.Path() + "/a/b/c"));
    // Existing folders and an empty path are fine.
    CWinUtils::CreateFolderPath(dir.Path() + "/a/b");
    CWinUtils::CreateFolderPath("");
    EXPECT_TRUE(IsFolder(dir.Path() + "/a/b/c"));
}

TEST(WinUtilsFolders, CreateFolderPathIgnoresFailures) {
    CTempDir dir;
    WriteFile(dir.File("file"), "x");
    CWinUtils::CreateFolderPath(dir.File("file") + "/sub");
    EXPECT_FALSE(IsFolder(dir.File("file") + "/sub"));
}

} // namespace
