#include "tests/mpris/BridgeFixture.h"

namespace {

using ECode = CPluginLine::ECode;

struct CSend {
    std::string id;
    ECode code;
};

std::string LineOf(const CSend& s) {
    return std::string(CPluginLine::Word(s.code)) + " c=" + s.id + (s.code == CPluginLine::kStart ? "&a=x" : "");
}

class CListenerOutboxTest : public CBridgeTest {};

// While the listener is away, what waits is reduced to what still matters
// for each plug-in; when it is back that arrives, in order.
TEST_F(CListenerOutboxTest, WaitingLinesAreReducedToWhatStillMatters) {
    using C = CPluginLine;
    struct CCase {
        const char* name;
        std::vector<CSend> sent;
        std::vector<CSend> delivered;
    };
    const std::vector<CCase> cases = {
        {"pause then resume cancel out", {{"p", C::kStart}, {"p", C::kPause}, {"p", C::kResume}}, {{"p", C::kStart}}},
        {"a start replaces what waited", {{"p", C::kStart}, {"p", C::kPause}, {"p", C::kStart}}, {{"p", C::kStart}}},
        {"a stop replaces what waited", {{"p", C::kStart}, {"p", C::kPause}, {"p", C::kStop}}, {{"p", C::kStop}}},
        {"the last of two pauses", {{"p", C::kPause}, {"p", C::kPause}}, {{"p", C::kPause}}},
        {"plug-ins do not touch each other",
         {{"p", C::kStart}, {"q", C::kStart}, {"p", C::kPause}, {"q", C::kStop}, {"p", C::kResume}},
         {{"p", C::kStart}, {"q", C::kStop}}},
        {"a resume alone stays", {{"p", C::kResume}}, {{"p", C::kResume}}},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.name);
        mListener.reset();
        CListenerOutbox outbox(mBase);
        for (const CSend& s : c.sent)
            outbox.Send(s.id, s.code, LineOf(s));
        mListener = std::make_unique<CRecordingListener>(mBase);
        ASSERT_TRUE(outbox.WaitUntilIdle(20000));
        std::vector<std::string> expected;
        for (const CSend& s : c.delivered)
            expected.push_back(LineOf(s));
        EXPECT_EQ(mListener->Lines(), expected);
    }
}

TEST_F(CListenerOutboxTest, TheListenerIsFoundPastPortsThatAreSomethingElse) {
    mListener.reset();
    // The base port answers like no listener; the next one never answers;
    // the one after is closed; the listener is at the fourth.
    CRecordingListener stranger(mBase);
    stranger.ReplyTo("", "HTTP/1.0 400 Bad Request");
    mPorts->Listen(1);
    CRecordingListener listener(mPorts->Port(3));
    ASSERT_TRUE(listener.Listening());

    CListenerOutbox outbox(mBase);
    int lost = 0;
    outbox.SetLostHandler([&] { ++lost; });
    outbox.Send("p", CPluginLine::kStart, "START c=p&a=x");
    ASSERT_TRUE(outbox.WaitUntilIdle(30000));
    outbox.Send("p", CPluginLine::kStop, "STOP c=p");
    ASSERT_TRUE(outbox.WaitUntilIdle(30000));
    // The port found is tried first from then on.
    EXPECT_EQ(listener.Lines(), (std::vector<std::string>{"START c=p&a=x", "STOP c=p"}));
    EXPECT_EQ(stranger.Lines(), std::vector<std::string>{"START c=p&a=x"});
    EXPECT_EQ(lost, 0);
    EXPECT_TRUE(mLog.Contains("Port " + std::to_string(mBase) + " answered 'HTTP/1.0 400 Bad Request', which is not the listener"));
    EXPECT_TRUE(mLog.Contains("Port " + std::to_string(mBase + 1) + " did not answer in time"));
    EXPECT_TRUE(mLog.Contains("Listener found on port " + std::to_string(mBase + 3)));
}

TEST_F(CListenerOutboxTest, ARefusedLineIsReportedAndNotRetried) {
    mListener->ReplyTo("RESUME", "ERROR: RESUME received without a preceding START");
    CListenerOutbox outbox(mBase);
    std::vector<std::string> refused;
    outbox.SetRefusedHandler([&](const std::string& id, ECode code, const std::string& reply) {
        refused.push_back(id + " " + CPluginLine::Word(code) + " " + reply);
    });
    outbox.Send("p", CPluginLine::kResume, "RESUME c=p");
    outbox.Send("q", CPluginLine::kStop, "STOP c=q");
    ASSERT_TRUE(outbox.WaitUntilIdle(20000));
    EXPECT_EQ(refused, std::vector<std::string>{"p RESUME ERROR: RESUME received without a preceding START"});
    EXPECT_EQ(mListener->Lines(), (std::vector<std::string>{"RESUME c=p", "STOP c=q"}));
}

} // namespace
