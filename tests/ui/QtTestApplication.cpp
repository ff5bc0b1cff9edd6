// One QApplication for every widget test of this program, made before the
// first test and destroyed after the last, on the main thread.

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (std::getenv("QT_QPA_PLATFORM") == nullptr)
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        mApp = std::make_unique<QApplication>(mArgc, mArgv);
    }
    void TearDown() override { mApp.reset(); }

private:
    int mArgc = 1;
    char mName[8] = "test_ui";
    char* mArgv[2] = {mName, nullptr};
    std::unique_ptr<QApplication> mApp;
};

[[maybe_unused]] ::testing::Environment* const gQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace
