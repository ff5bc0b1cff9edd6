#include "app/Logger.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct CSample {
    void Method(int line) { VBX_LOG(3, "value " << line << "\n"); }
    template <typename T> void Templated(T v) { VBX_LOG(2, v); }
    void WithLambda() {
        auto f = [] { VBX_LOG(4, "from lambda"); };
        f();
    }
};

} // namespace

TEST(LoggerTest, HeaderLayoutIsExact) {
    char buf[256];
    // 2006-05-01 12:34:56 UTC
    size_t n = CLogger::FormatHeader(buf, sizeof buf, 1146486896, 12, "CPlayerListener::ReceiveLine", 301, 3);
    EXPECT_EQ(std::string(buf, n), "060501 12:34:56 -   12 - CPlayerListener::ReceiveLine(301) - L3\n  ");
    n = CLogger::FormatHeader(buf, sizeof buf, 0, 123456, "Uncaught", 0, 1);
    EXPECT_EQ(std::string(buf, n), "700101 00:00:00 - 123456 - Uncaught(0) - L1\n  ");
    // Leap day, end of a century year.
    n = CLogger::FormatHeader(buf, sizeof buf, 951782400 + 86399, 1, "F", 1, 4);
    EXPECT_EQ(std::string(buf, n), "000229 23:59:59 -    1 - F(1) - L4\n  ");
}

TEST(LoggerTest, QualifiedNameKeepsClassAndMethod) {
    struct Case {
        const char* pretty;
        const char* name;
    } cases[] = {
        {"void CPlayerListener::ReceiveLine(int, std::string&)", "CPlayerListener::ReceiveLine"},
        {"CPlayerListener::CPlayerListener()", "CPlayerListener::CPlayerListener"},
        {"static CLogger& CLogger::Instance()", "CLogger::Instance"},
        {"const char* CFoo::Bar() const", "CFoo::Bar"},
        {"void CFoo::Baz(void (*)(int))", "CFoo::Baz"},
        {"CFoo::WithLambda()::<lambda()>", "CFoo::WithLambda"},
        {"void CFoo::T(V) [with V = int]", "CFoo::T"},
        {"std::map<int, int> CFoo::Map()", "CFoo::Map"},
        {"int main()", "main"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LogDetail::QualifiedName(c.pretty), c.name) << c.pretty;
}

TEST(LoggerTest, RecordsCarryFunctionLineLevelAndMessage) {
    CLogCapture log;
    CSample sample;
    const int line = __LINE__;
    sample.Method(line);
    sample.Templated(std::string("templated"));
    sample.WithLambda();

    const std::string text = log.Text();
    const std::string tid = std::to_string(LogDetail::ThreadId());
    std::regex record(R"(^\d{6} \d\d:\d\d:\d\d - +)" + tid +
                      R"( - \{anonymous\}::CSample::Method\(\d+\) - L3\n  value )" + std::to_string(line) +
                      "\n\n");
    EXPECT_TRUE(std::regex_search(text, record)) << text;
    EXPECT_NE(text.find("CSample::Templated"), std::string::npos);
    EXPECT_NE(text.find(" - L2\n  templated\n"), std::string::npos);
    EXPECT_NE(text.find("CSample::WithLambda("), std::string::npos);
    EXPECT_NE(text.find(" - L4\n  from lambda\n"), std::string::npos);
}

TEST(LoggerTest, NothingIsWrittenAtLevelZeroOrAboveTheLevel) {
    CLogCapture log;
    CLogger::Instance().SetLevel(0);
    VBX_LOG(1, "hidden at level 0");
    CLogger::Instance().SetLevel(2);
    VBX_LOG(3, "hidden above level");
    VBX_LOG(2, "shown");
    const std::string text = log.Text();
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_NE(text.find("shown"), std::string::npos);
}

TEST(LoggerTest, ClosedOrFailedLogSkipsSilently) {
    CLogger& logger = CLogger::Instance();
    logger.Close();
    logger.SetLevel(4);
    VBX_LOG(1, "into nowhere"); // must not crash
    EXPECT_FALSE(logger.Open("/nonexistent-dir/x/vortler.log", false));
    EXPECT_FALSE(logger.Enabled(1));
    VBX_LOG(1, "still nowhere");
    logger.SetLevel(0);
}

TEST(LoggerTest, OpenAppendsUnlessTruncating) {
    CTempDir dir;
    const std::string path = dir.File("vortler.log");
    WriteFile(path, "old\n");
    CLogger& logger = CLogger::Instance();
    logger.SetLevel(4);
    ASSERT_TRUE(logger.Open(path, false));
    VBX_LOG(1, "appended");
    EXPECT_EQ(ReadFile(path).rfind("old\n", 0), 0u);
    ASSERT_TRUE(logger.Open(path, true));
    VBX_LOG(1, "fresh");
    logger.Close();
    logger.SetLevel(0);
    const std::string text = ReadFile(path);
    EXPECT_EQ(text.find("old"), std::string::npos);
    EXPECT_NE(text.find("fresh"), std::string::npos);
}

namespace {
std::string Nested() {
    VBX_LOG(4, "inner");
    return "outer part";
}
} // namespace

TEST(LoggerTest, BuildingAMessageMayLogAgain) {
    CLogCapture log;
    VBX_LOG(3, "outer: " << Nested());
    const std::string text = log.Text();
    size_t inner = text.find("inner");
    size_t outer = text.find("outer: outer part");
    ASSERT_NE(inner, std::string::npos);
    ASSERT_NE(outer, std::string::npos);
    EXPECT_LT(inner, outer);
}

TEST(LoggerTest, ConcurrentRecordsNeverInterleaveAndNameTheirThread) {
    CLogCapture log;
    const std::string a(300, 'a'), b(300, 'b');
    long idA = 0, idB = 0;
    std::thread t1([&] {
        idA = static_cast<long>(::syscall(SYS_gettid));
        for (int i = 0; i < 200; ++i)
            VBX_LOG(3, a);
    });
    std::thread t2([&] {
        idB = static_cast<long>(::syscall(SYS_gettid));
        for (int i = 0; i < 200; ++i)
            VBX_LOG(3, b);
    });
    t1.join();
    t2.join();
    // A child made by fork is a thread of its own, whatever its parent's
    // thread wrote before.
    VBX_LOG(3, "parent");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        VBX_LOG(3, "child");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    const std::string text = log.Text();
    std::map<std::string, std::map<long, int>> idsOf;
    std::regex record(R"(\d{6} \d\d:\d\d:\d\d - +(\d+) - [^\n]+ - L3\n  (a{300}|b{300}|parent|child)\n)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), record); it != std::sregex_iterator(); ++it)
        ++idsOf[(*it)[2].str().substr(0, 6)][std::stol((*it)[1].str())];
    EXPECT_EQ(idsOf[a.substr(0, 6)], (std::map<long, int>{{idA, 200}}));
    EXPECT_EQ(idsOf[b.substr(0, 6)], (std::map<long, int>{{idB, 200}}));
    EXPECT_EQ(idsOf["parent"], (std::map<long, int>{{static_cast<long>(::syscall(SYS_gettid)), 1}}));
    EXPECT_EQ(idsOf["child"], (std::map<long, int>{{static_cast<long>(child), 1}}));
}

TEST(LoggerTest, SignalPathWritesTheSameLayoutWithoutTheLock) {
    CLogCapture log;
    CLogger::Instance().Mutex().lock();
    std::thread writer(
        [] { CLogger::Instance().LogFromSignal(1, "Uncaught", 0, "Unhandled exception:\n  X\n"); });
    writer.join();
    CLogger::Instance().Mutex().unlock();
    EXPECT_TRUE(std::regex_search(
        log.Text(),
        std::regex(R"(\d{6} \d\d:\d\d:\d\d - +\d+ - Uncaught\(0\) - L1\n  Unhandled exception:\n  X\n\n)")))
        << log.Text();
}
