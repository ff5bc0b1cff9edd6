#include "update/MemoryDownloader.h"

#include "app/ManualResetEvent.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestEnv.h"
#include "tests/update/ProgressRecorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Step = CScriptedServer::Step;
using Script = CScriptedServer::Script;

const char* const kTimedOut = "The connection timed out when trying to retrieve info from fenwave.\n";

Script ServeReply(const std::string& reply) {
    return {Step::ReadRequest(), Step::Send(reply)};
}

/// Accepts the request and says nothing for far longer than any test waits.
Script Silent() {
    return {Step::ReadRequest(), Step::Pause(60s)};
}

class MemoryDownloaderTest : public ::testing::Test {
protected:
    CTestEnvironment env;
    CLogCapture log;
    CMemoryDownloader downloader;
};

TEST_F(MemoryDownloaderTest, SendsTheExactRequestAndReturnsTheBody) {
    CScriptedServer server({ServeReply("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nversion=1.0.0.1\n")});
    CProgressRecorder recorder(downloader);
    std::string response = "stale";

    ASSERT_EQ(downloader.Download(server.Url("/plugins/vbx/upg.win.1.0.0.0"), response, 10), DOWNLOAD_OK);

    EXPECT_EQ(response, "version=1.0.0.1\n");
    ASSERT_TRUE(server.WaitForFinished(1));
    EXPECT_EQ(server.Received(0), "GET /plugins/vbx/upg.win.1.0.0.0 HTTP/1.0\r\n"
                                  "Host:127.0.0.1\r\n"
                                  "User-Agent:Vortlebox (Mozilla)\r\n"
                                  "Accept: */*\r\n"
                                  "Connection: Close\r\n"
                                  "\r\n");
    ASSERT_FALSE(recorder.Texts().empty());
    EXPECT_EQ(recorder.Texts().front(), "Retrieving information from Fenwave...");
    EXPECT_EQ(downloader.GetStatusText(), "Retrieving information from Fenwave...");
    EXPECT_TRUE(log.Contains("Got 16 bytes worth of info\n"));
    EXPECT_TRUE(log.Contains("Response:\nversion=1.0.0.1\n"));
    EXPECT_TRUE(log.Contains(" iterations\n"));
}

TEST_F(MemoryDownloaderTest, BodyLargerThanTheReceiveBufferArrivesWhole) {
    std::string body;
    for (int line = 0; body.size() < 200000; ++line)
        body += "line " + std::to_string(line) + "\n";
    CScriptedServer server({ServeReply("HTTP/1.0 200 OK\r\n\r\n" + body)});
    std::string response;
    ASSERT_EQ(downloader.Download(server.Url("/big"), response, 10), DOWNLOAD_OK);
    EXPECT_EQ(response.size(), body.size());
    EXPECT_EQ(response, body);
}

TEST_F(MemoryDownloaderTest, BodyEndsAtItsFirstZeroByte) {
    CScriptedServer server({ServeReply(std::string("HTTP/1.0 200 OK\r\n\r\ntext\0binary", 30))});
    std::string response;
    ASSERT_EQ(downloader.Download(server.Url("/z"), response, 10), DOWNLOAD_OK);
    EXPECT_EQ(response, "text");
    EXPECT_TRUE(log.Contains("Got 11 bytes worth of info\n"));
}

struct SErrorCase {
    const char* name;
    Script script;
    const char* expectedStatus;
};

class MemoryDownloaderErrorTest : public MemoryDownloaderTest,
                                  public ::testing::WithParamInterface<SErrorCase> {};

TEST_P(MemoryDownloaderErrorTest, FailsWithTheReasonInTheStatusText) {
    CScriptedServer server({GetParam().script});
    std::string response = "untouched";
    EXPECT_EQ(downloader.Download(server.Url("/plugins/vbx/upg.win.1"), response, 10), DOWNLOAD_FAILED);
    EXPECT_EQ(downloader.GetStatusText(), GetParam().expectedStatus);
    EXPECT_EQ(response, "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, MemoryDownloaderErrorTest,
    ::testing::Values(SErrorCase{"NotFound", ServeReply("HTTP/1.0 404 Not Found\r\n\r\n"),
                                 "Connection error: HTTP/1.0 404 Not Found"},
                      SErrorCase{"ServerError", ServeReply("HTTP/1.1 500 Internal Server Error\r\n\r\n"),
                                 "Connection error: HTTP/1.1 500 Internal Server Error"}),
    [](const ::testing::TestParamInfo<SErrorCase>& info) { return std::string(info.param.name); });

TEST_F(MemoryDownloaderTest, RefusedConnectionIsAConnectionError) {
    std::string url;
    {
        CScriptedServer gone({ServeReply("HTTP/1.0 200 OK\r\n\r\n")});
        url = gone.Url("/x");
    }
    std::string response;
    EXPECT_EQ(downloader.Download(url, response, 10), DOWNLOAD_FAILED);
    EXPECT_EQ(downloader.GetStatusText().rfind("Connection error: ", 0), 0u) << downloader.GetStatusText();
}

TEST_F(MemoryDownloaderTest, SilentServerTimesOutAfterTenPollsPerSecond) {
    CScriptedServer server({Silent()});
    CProgressRecorder recorder(downloader);
    std::string response = "untouched";

    EXPECT_EQ(downloader.Download(server.Url("/slow"), response, 1), DOWNLOAD_FAILED);

    EXPECT_EQ(downloader.GetStatusText(), kTimedOut);
    EXPECT_EQ(downloader.GetProgress(), 100);
    EXPECT_EQ(response, "untouched");
    EXPECT_TRUE(log.Contains("Download took: 10 iterations\n"));
    // The first notification is the start; then one per poll, 10% each.
    const std::vector<int> progress = recorder.Progress();
    EXPECT_EQ(progress, (std::vector<int>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
}

TEST_F(MemoryDownloaderTest, NoTimeoutFailsAtOnce) {
    for (const int timeout : {0, -1, -100}) {
        CScriptedServer server({ServeReply("HTTP/1.0 200 OK\r\n\r\nnever read")});
        std::string response = "untouched";
        EXPECT_EQ(downloader.Download(server.Url("/x"), response, timeout), DOWNLOAD_FAILED) << timeout;
        EXPECT_EQ(downloader.GetStatusText(), kTimedOut) << timeout;
        EXPECT_EQ(response, "untouched");
        EXPECT_EQ(server.Connections(), 0u) << timeout;
    }
}

TEST_F(MemoryDownloaderTest, CancelEndsTheWaitWithinAPoll) {
    CScriptedServer server({Silent()});
    CProgressRecorder recorder(downloader);
    CManualResetEvent polling;
    recorder.OnText([&](const std::string&) {
        if (downloader.GetProgress() > 0)
            polling.Set();
    });
    std::string response = "untouched";
    std::uint8_t result = 0xff;

    std::thread worker([&] { result = downloader.Download(server.Url("/slow"), response, 60); });
    const bool polled = polling.WaitFor(10s);
    downloader.Cancel();
    worker.join();

    ASSERT_TRUE(polled);
    EXPECT_EQ(result, DOWNLOAD_CANCELLED);
    EXPECT_EQ(response, "untouched");
    EXPECT_LT(downloader.GetProgress(), 100);
    EXPECT_TRUE(log.Contains("CMemoryDownloader::Cancel, setting mbCancelled to true\n"));
    EXPECT_FALSE(log.Contains("Download took: "));
}

TEST_F(MemoryDownloaderTest, CancelBeforeDownloadIsForgotten) {
    CScriptedServer server({ServeReply("HTTP/1.0 200 OK\r\n\r\nfine")});
    downloader.Cancel();
    std::string response;
    EXPECT_EQ(downloader.Download(server.Url("/x"), response, 10), DOWNLOAD_OK);
    EXPECT_EQ(response, "fine");
}

} // namespace
