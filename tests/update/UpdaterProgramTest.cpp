// The external updater as a program: its command line, and a run with the
// lock already free.
#include "update/UpdateLock.h"

#include "tests/support/TestEnv.h"
#include "tests/support/TestProcess.h"
#include "tests/update/UpdateTestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace UpdateTest;

namespace {

class UpdaterProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A copy, so that nothing beside the build's programs is ever started.
        std::filesystem::copy_file(BinDir() + "/Updater.exe", mFolder.File("UpTemp.exe"));
        mEnv.Env().Set("VBX_TEST_OUT", mOut.Path());
    }
    std::string Updater() const { return mFolder.File("UpTemp.exe"); }

    CTestEnvironment mEnv;
    CTempDir mFolder;
    CTempDir mOut;
};

TEST_F(UpdaterProgramTest, BadCommandLinesAreRefused) {
    const std::string installer = mOut.File("installer");
    WriteExecutable(installer, "#!/bin/sh\necho ran > \"$VBX_TEST_OUT/ran\"\n");
    const std::vector<std::vector<std::string>> lines = {{},
                                                         {"R"},
                                                         {"R", "L"},
                                                         {"X", "L", installer},
                                                         {"R", "a/b", installer},
                                                         {"R", "..", installer},
                                                         {"R", "L", ""},
                                                         {"R", "L", installer, "extra"}};
    for (const auto& args : lines) {
        std::vector<std::string> argv{Updater()};
        argv.insert(argv.end(), args.begin(), args.end());
        const CTestProcess::CResult result = CTestProcess::Run(argv);
        ASSERT_TRUE(result.exitCode.has_value());
        EXPECT_EQ(*result.exitCode, 2) << argv.size();
    }
    EXPECT_FALSE(FileExists(mOut.File("ran")));
}

TEST_F(UpdaterProgramTest, RunsTheInstallerThenStartsTheProgram) {
    const std::string installer = mOut.File("setup.exe");
    // Not executable yet: the updater makes it so.
    WriteFile(installer, "#!/bin/sh\necho \"$#\" > \"$VBX_TEST_OUT/installer-ran\"\n");
    struct Case {
        const char* what;
        bool beside;
    } const cases[] = {{"the stored path", false}, {"beside the updater", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(mOut.File("installer-ran"));
        std::filesystem::remove(mOut.File("program-started"));
        const std::string stored = mOut.File("stored-program");
        WriteExecutable(stored, "#!/bin/sh\necho stored > \"$VBX_TEST_OUT/program-started\"\n");
        WriteRegString("Software\\Fenwave\\Vortlebox", "Path", stored);
        if (c.beside)
            WriteExecutable(mFolder.File("vortlebox"),
                            "#!/bin/sh\necho beside > \"$VBX_TEST_OUT/program-started\"\n");

        const CTestProcess::CResult result = CTestProcess::Run({Updater(), "R", "L", installer});
        ASSERT_TRUE(result.exitCode.has_value());
        EXPECT_EQ(*result.exitCode, 0) << result.err;
        EXPECT_EQ(ReadFile(mOut.File("installer-ran")), "0\n");
        ASSERT_TRUE(WaitForFile(mOut.File("program-started")));
        EXPECT_EQ(ReadFile(mOut.File("program-started")), c.beside ? "beside\n" : "stored\n");
    }
}

TEST_F(UpdaterProgramTest, NoProgramToStartIsAFailure) {
    const std::string installer = mOut.File("setup.exe");
    WriteExecutable(installer, "#!/bin/sh\nexit 0\n");
    const CTestProcess::CResult result = CTestProcess::Run({Updater(), "R", "L", installer});
    ASSERT_TRUE(result.exitCode.has_value());
    EXPECT_EQ(*result.exitCode, 1);
    EXPECT_NE(result.err.find("found no program to start again"), std::string::npos) << result.err;
}

} // namespace
