#include "update/FileDownloader.h"

#include "app/ManualResetEvent.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestEnv.h"
#include "tests/update/ProgressRecorder.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Step = CScriptedServer::Step;
using Script = CScriptedServer::Script;

/// The names in a folder.
std::vector<std::string> FolderEntries(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Reply(const std::string& status, const std::string& body, const std::string& headers = "") {
    return "HTTP/1.0 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers +
           "\r\n" + body;
}

Script Serve(const std::string& reply) {
    return {Step::ReadRequest(), Step::Send(reply)};
}

class FileDownloaderTest : public ::testing::Test {
protected:
    CTestEnvironment env;
    CLogCapture log;
    CTempDir dir;
    CFileDownloader downloader;
};

// --- Progress reports ---------------------------------------------------

struct SProgressCase {
    const char* name;
    std::uint32_t progress;
    std::uint32_t progressMax;
    std::uint32_t statusCode;
    const char* statusText; // may be null
    const char* expectedText;
    int expectedProgress;
};

class FileDownloaderProgressTest : public ::testing::TestWithParam<SProgressCase> {};

TEST_P(FileDownloaderProgressTest, BuildsTheStatusLineAndPercentage) {
    const SProgressCase& c = GetParam();
    CFileDownloader downloader;
    CProgressRecorder recorder(downloader);
    EXPECT_EQ(downloader.OnProgress(c.progress, c.progressMax, c.statusCode, c.statusText),
              CFileDownloader::S_OK);
    EXPECT_EQ(downloader.GetStatusText(), c.expectedText);
    EXPECT_EQ(downloader.GetProgress(), c.expectedProgress);
    EXPECT_EQ(recorder.Subjects(), std::vector<Observable*>{&downloader}) << "one notification per report";
}

INSTANTIATE_TEST_SUITE_P(
    Phases, FileDownloaderProgressTest,
    ::testing::Values(SProgressCase{"FindingResource", 0, 0, 1, "static.example",
                                    "Looking up static.example...", 0},
                      SProgressCase{"Connecting", 0, 0, 2, "127.0.0.1", "Connecting to 127.0.0.1...", 0},
                      SProgressCase{"Redirecting", 0, 0, 3, "http://h/new/place",
                                    "Redirecting to http://h/new/place...", 0},
                      SProgressCase{"BeginDownload", 10, 40, 4, "http://h/plugins/setup.exe",
                                    "Downloading setup.exe...", 25},
                      SProgressCase{"Downloading", 1, 3, 5, "http://h/a/b/c.bin", "Downloading c.bin...", 33},
                      SProgressCase{"UrlEndingInSlash", 5, 10, 5, "http://h/dir/", "Downloading ...", 50},
                      SProgressCase{"UrlWithoutSlash", 5, 10, 4, "file.bin", "Downloading file.bin...", 50},
                      SProgressCase{"EndDownload", 7, 7, 6, "http://h/x/y.z", "Downloading", 100},
                      SProgressCase{"CacheFileName", 0, 0, 10, "/cache/x", "", 0},
                      SProgressCase{"SendingRequest", 0, 0, 11, nullptr, "Sending request...", 0},
                      SProgressCase{"UnknownCode", 3, 4, 7, "whatever", "", 75},
                      SProgressCase{"NullTextLookingUp", 0, 0, 1, nullptr, "Looking up ...", 0},
                      SProgressCase{"ZeroMaximumGivesZero", 500, 0, 5, "http://h/f", "Downloading f...", 0},
                      SProgressCase{"FullUnsignedRange", 4294967295u, 4294967295u, 5, "http://h/f",
                                    "Downloading f...", 100},
                      SProgressCase{"LargeUnsignedValues", 3000000000u, 4000000000u, 5, "http://h/f",
                                    "Downloading f...", 75}),
    [](const ::testing::TestParamInfo<SProgressCase>& info) { return std::string(info.param.name); });

TEST_F(FileDownloaderTest, CacheFileNameReportIsLogged) {
    downloader.OnProgress(0, 0, CFileDownloader::STATUS_CACHEFILENAMEAVAILABLE, "/some/file");
    EXPECT_TRUE(log.Contains("Downloader using cached file\n"));
}

TEST_F(FileDownloaderTest, ReportAfterCancelAbortsAndChangesNothing) {
    downloader.OnProgress(1, 2, CFileDownloader::STATUS_CONNECTING, "10.0.0.1");
    CProgressRecorder recorder(downloader);
    downloader.Cancel();
    EXPECT_EQ(downloader.OnProgress(2, 2, CFileDownloader::STATUS_ENDDOWNLOADDATA, "http://h/f"),
              CFileDownloader::E_ABORT);
    EXPECT_EQ(downloader.GetStatusText(), "Connecting to 10.0.0.1...");
    EXPECT_EQ(downloader.GetProgress(), 50);
    EXPECT_TRUE(recorder.Subjects().empty());
    EXPECT_TRUE(log.Contains("CFileDownloader::Cancel, setting mbCancelled to true\n"));
    EXPECT_TRUE(log.Contains("mbCancelled true, returning E_ABORT\n"));
}

TEST(FileDownloaderHResultTest, NamesTheKnownResultsAndNothingElse) {
    const std::vector<std::pair<CFileDownloader::HRESULT, std::string>> cases = {
        {0, "S_OK"},
        {1, "S_FALSE"},
        {0x8000000A, "E_PENDING"},
        {0x80004001, "E_NOTIMPL"},
        {0x80004002, "E_NOINTERFACE"},
        {0x80004004, "E_ABORT"},
        {0x80004005, "E_FAIL"},
        {0x8000FFFF, "E_UNEXPECTED"},
        {0x80070005, "E_ACCESSDENIED"},
        {0x80070006, "E_HANDLE"},
        {0x8007000E, "E_OUTOFMEMORY"},
        {0x80070057, "E_INVALIDARG"},
        {2, ""},
        {0x800C0005, ""},
    };
    for (const auto& [result, name] : cases)
        EXPECT_EQ(CFileDownloader::HResultName(result), name) << std::hex << result;
}

// --- Downloads over the network -----------------------------------------

TEST_F(FileDownloaderTest, DownloadsAFileShowingEachPhase) {
    const std::string body(20000, 'x');
    CScriptedServer server({Serve(Reply("200 OK", body))});
    CProgressRecorder recorder(downloader);
    const std::string target = dir.File("setup.bin");

    ASSERT_EQ(downloader.Download(server.Url("/plugins/setup.bin"), target, false), DOWNLOAD_OK);

    EXPECT_EQ(ReadFile(target), body);
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"setup.bin"});
    ASSERT_TRUE(server.WaitForFinished(1));
    EXPECT_EQ(server.Received(0).rfind("GET /plugins/setup.bin HTTP/1.1\r\n", 0), 0u) << server.Received(0);

    const std::vector<std::string> texts = recorder.Texts();
    const auto at = [&](const std::string& text) { return std::find(texts.begin(), texts.end(), text); };
    ASSERT_NE(at("Looking up 127.0.0.1..."), texts.end());
    ASSERT_NE(at("Connecting to 127.0.0.1..."), texts.end());
    ASSERT_NE(at("Sending request..."), texts.end());
    ASSERT_NE(at("Downloading setup.bin..."), texts.end());
    EXPECT_LT(at("Looking up 127.0.0.1..."), at("Connecting to 127.0.0.1..."));
    EXPECT_LT(at("Connecting to 127.0.0.1..."), at("Sending request..."));
    EXPECT_LT(at("Sending request..."), at("Downloading setup.bin..."));
    EXPECT_EQ(texts.back(), "Downloading");

    const std::vector<int> progress = recorder.Progress();
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), 100);
    EXPECT_EQ(downloader.GetProgress(), 100);
    EXPECT_TRUE(log.Contains("URLDownloadToFile returned: S_OK\n"));
}

TEST_F(FileDownloaderTest, UrlEndingInSlashShowsNoFileName) {
    CScriptedServer server({Serve(Reply("200 OK", "index"))});
    CProgressRecorder recorder(downloader);
    ASSERT_EQ(downloader.Download(server.Url("/plugins/"), dir.File("index"), false), DOWNLOAD_OK);
    EXPECT_TRUE(recorder.Saw("Downloading ...")) << ::testing::PrintToString(recorder.Texts());
}

TEST_F(FileDownloaderTest, FollowsARedirectAndShowsItsTarget) {
    CScriptedServer server({Serve(Reply("302 Found", "", "Location: /mirror/real.bin\r\n")),
                            Serve(Reply("200 OK", "the real file"))});
    CProgressRecorder recorder(downloader);
    const std::string target = dir.File("real.bin");

    ASSERT_EQ(downloader.Download(server.Url("/plugins/moved.bin"), target, false), DOWNLOAD_OK);

    EXPECT_EQ(ReadFile(target), "the real file");
    EXPECT_TRUE(recorder.Saw("Redirecting to " + server.Url("/mirror/real.bin") + "..."))
        << ::testing::PrintToString(recorder.Texts());
    EXPECT_TRUE(recorder.Saw("Downloading real.bin..."));
    ASSERT_TRUE(server.WaitForFinished(2));
    EXPECT_EQ(server.Received(1).rfind("GET /mirror/real.bin HTTP/1.", 0), 0u) << server.Received(1);
}

TEST_F(FileDownloaderTest, ReplacesAnExistingFileOnlyWhenComplete) {
    const std::string target = dir.File("answer.txt");
    WriteFile(target, "old answer");
    CScriptedServer server({Serve(Reply("200 OK", "new answer"))});
    ASSERT_EQ(downloader.Download(server.Url("/a"), target, false), DOWNLOAD_OK);
    EXPECT_EQ(ReadFile(target), "new answer");
}

struct SFailureCase {
    const char* name;
    Script script;
    const char* loggedResult;
};

class FileDownloaderFailureTest : public FileDownloaderTest,
                                  public ::testing::WithParamInterface<SFailureCase> {};

TEST_P(FileDownloaderFailureTest, FailsAndKeepsWhatWasThere) {
    const std::string target = dir.File("kept.txt");
    WriteFile(target, "previous content");
    CScriptedServer server({GetParam().script});

    EXPECT_EQ(downloader.Download(server.Url("/plugins/file.bin"), target, false), DOWNLOAD_FAILED);

    EXPECT_EQ(ReadFile(target), "previous content");
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"kept.txt"}) << "no part file left behind";
    EXPECT_TRUE(log.Contains(std::string("URLDownloadToFile returned: ") + GetParam().loggedResult + "\n"))
        << log.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FileDownloaderFailureTest,
    ::testing::Values(
        SFailureCase{"NotFound", Serve(Reply("404 Not Found", "no such file")), "E_FAIL"},
        SFailureCase{"ServerError", Serve(Reply("500 Internal Server Error", "oops")), "E_FAIL"},
        SFailureCase{"CutShort",
                     {Step::ReadRequest(),
                      Step::Send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\nonly a part"),
                      Step::Close()},
                     "E_FAIL"},
        SFailureCase{"ClosedWithoutReply", {Step::ReadRequest(), Step::Close()}, "E_FAIL"},
        SFailureCase{"GarbageReply", Serve("this is not HTTP at all\r\n\r\n"), "E_FAIL"},
        SFailureCase{"RedirectToLocalFile", Serve(Reply("302 Found", "", "Location: file:///etc/passwd\r\n")),
                     "E_FAIL"},
        SFailureCase{"RedirectToFtp",
                     Serve(Reply("301 Moved Permanently", "", "Location: ftp://127.0.0.1/x\r\n")), "E_FAIL"}),
    [](const ::testing::TestParamInfo<SFailureCase>& info) { return std::string(info.param.name); });

TEST_F(FileDownloaderTest, RefusedConnectionFails) {
    std::string url;
    {
        CScriptedServer gone({Serve(Reply("200 OK", ""))});
        url = gone.Url("/x");
    }
    EXPECT_EQ(downloader.Download(url, dir.File("x"), false), DOWNLOAD_FAILED);
    EXPECT_TRUE(FolderEntries(dir.Path()).empty());
}

TEST_F(FileDownloaderTest, FetchesOnlyHttpAndHttps) {
    CScriptedServer server({Serve(Reply("200 OK", "should never be fetched"))});
    const std::string port = std::to_string(server.Port());
    const std::vector<std::string> urls = {
        "file:///etc/passwd",
        "ftp://127.0.0.1:" + port + "/x",
        "gopher://127.0.0.1:" + port + "/x",
        "127.0.0.1:" + port + "/no-scheme",
        "not a url at all",
        "",
    };
    for (const std::string& url : urls) {
        const std::string target = dir.File("target");
        EXPECT_EQ(downloader.Download(url, target, false), DOWNLOAD_FAILED) << url;
        EXPECT_FALSE(FileExists(target)) << url;
    }
    EXPECT_TRUE(FolderEntries(dir.Path()).empty());
    EXPECT_EQ(server.Connections(), 0u);
    EXPECT_TRUE(log.Contains("URLDownloadToFile returned: E_INVALIDARG\n"));
}

TEST_F(FileDownloaderTest, UnusableTargetFailsWithoutConnecting) {
    CScriptedServer server({Serve(Reply("200 OK", "data"))});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.File("no/such/folder/x"), "E_ACCESSDENIED"},
        {"", "E_INVALIDARG"},
        {dir.Path() + "/", "E_INVALIDARG"},
    };
    for (const auto& [target, loggedResult] : cases) {
        CLogCapture attempt;
        EXPECT_EQ(downloader.Download(server.Url("/x"), target, false), DOWNLOAD_FAILED) << target;
        EXPECT_TRUE(attempt.Contains("URLDownloadToFile returned: " + loggedResult + "\n")) << target;
    }
    EXPECT_EQ(server.Connections(), 0u);
    EXPECT_TRUE(FolderEntries(dir.Path()).empty());
}

TEST_F(FileDownloaderTest, TargetWithTheLongestFileNameWorks) {
    CScriptedServer server({Serve(Reply("200 OK", "long"))});
    const std::string target = dir.File(std::string(255, 'n'));
    ASSERT_EQ(downloader.Download(server.Url("/long"), target, false), DOWNLOAD_OK);
    EXPECT_EQ(ReadFile(target), "long");
    EXPECT_EQ(FolderEntries(dir.Path()).size(), 1u);
}

TEST_F(FileDownloaderTest, EvictionIsOnlyLogged) {
    CScriptedServer server({Serve(Reply("200 OK", "data"))});
    const std::string target = dir.File("fresh.bin");
    ASSERT_EQ(downloader.Download(server.Url("/fresh.bin"), target, true), DOWNLOAD_OK);
    EXPECT_TRUE(log.Contains(target + " not deleted. System error code: 2\n"));
    EXPECT_EQ(ReadFile(target), "data");
}

TEST_F(FileDownloaderTest, CancelDuringASlowDownloadLeavesNoFile) {
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 1000000\r\n\r\n";
    Script script = {Step::ReadRequest(), Step::Send(head)};
    for (const Step& step : CScriptedServer::SendInPieces(std::string(1000000, 'd'), 1000, 20ms))
        script.push_back(step);
    CScriptedServer server({script});
    CProgressRecorder recorder(downloader);
    CManualResetEvent dataFlowing;
    recorder.OnText([&](const std::string& text) {
        if (text == "Downloading big.bin...")
            dataFlowing.Set();
    });
    const std::string target = dir.File("big.bin");

    std::uint8_t result = 0xff;
    std::thread worker([&] { result = downloader.Download(server.Url("/big.bin"), target, false); });
    const bool flowing = dataFlowing.WaitFor(10s);
    downloader.Cancel();
    worker.join();

    ASSERT_TRUE(flowing);
    EXPECT_EQ(result, DOWNLOAD_CANCELLED);
    EXPECT_FALSE(FileExists(target));
    EXPECT_TRUE(FolderEntries(dir.Path()).empty());
    EXPECT_LT(downloader.GetProgress(), 100);
    EXPECT_TRUE(log.Contains("mbCancelled true, returning E_ABORT\n"));
    EXPECT_TRUE(log.Contains("URLDownloadToFile returned: E_ABORT\n"));
}

TEST_F(FileDownloaderTest, CancelAfterTheLastReportStillCountsAsCancelled) {
    CScriptedServer server({Serve(Reply("200 OK", "complete"))});
    CProgressRecorder recorder(downloader);
    recorder.OnText([&](const std::string& text) {
        if (text == "Downloading")
            downloader.Cancel(); // the transfer is over; nothing can abort it now
    });
    EXPECT_EQ(downloader.Download(server.Url("/done.txt"), dir.File("done.txt"), false), DOWNLOAD_CANCELLED);
    EXPECT_TRUE(log.Contains("URLDownloadToFile returned: S_OK\n"));
}

TEST_F(FileDownloaderTest, CancelBeforeDownloadIsForgotten) {
    CScriptedServer server({Serve(Reply("200 OK", "fine"))});
    downloader.Cancel();
    EXPECT_EQ(downloader.Download(server.Url("/later.txt"), dir.File("later.txt"), false), DOWNLOAD_OK);
}

} // namespace
