#include "res/StringTable.h"
#include "submit/Vortler.h"
#include "ui/StatusTexts.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(StatusTextsTest, EveryCodeHasItsStatusLineAndExplanation) {
    struct Case {
        int code;
        std::optional<std::string> line;
        int explanation;
        bool pinned;
        bool badge;
    };
    const Case cases[] = {
        {0, "Submitting...", 133, true, false},
        {1, std::nullopt, 134, false, false},
        {2, std::nullopt, 135, false, false},
        {3, "Connecting...", 176, false, false},
        {4, "Waiting", 136, false, false},
        {5, "Waiting", 137, false, false},
        {6, "Connection problem, caching tracks", 138, false, false},
        {7, "Connection problem, caching tracks", 139, false, false},
        {8, "The username is unknown", 140, true, true},
        {9, "Connection problem, caching tracks", 141, false, false},
        {10, std::nullopt, 142, false, false},
        {11, "Submitted", 143, false, false},
        {12, "Submission failed, caching tracks", 144, false, false},
        {13, "Submitted", 145, false, false},
        {14, "The password is incorrect", 146, true, true},
        {15, "Submission failed, caching tracks", 155, false, false},
        {16, "The password is incorrect", 147, true, true},
        {17, "Waiting", 177, false, false},
        {18, "", 0, false, false},
        {-1, "", 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(CStatusTexts::StatusText(c.code), c.line);
        EXPECT_EQ(CStatusTexts::ExplanationId(c.code), c.explanation);
        EXPECT_EQ(CStringTable::Get(c.explanation).empty(), c.explanation == 0);
        EXPECT_EQ(CStatusTexts::IsPinned(c.code), c.pinned);
        EXPECT_EQ(CStatusTexts::IsUserProblem(c.code), c.badge);
    }
}

TEST(StatusTextsTest, CountdownShowsHoursOnlyWhenThereAreAny) {
    const std::pair<int, const char*> cases[] = {
        {14, "Submitting in 00:14"},       {187, "Submitting in 03:07"},  {3599, "Submitting in 59:59"},
        {3600, "Submitting in 1:00:00"},   {3787, "Submitting in 1:03:07"}, {36000, "Submitting in 10:00:00"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(CStatusTexts::CountdownText(seconds), text) << seconds;
}

TEST(StatusTextsTest, MoreInfoNamesTheServerWhereTheExplanationSendsTheUser) {
    const std::string address = "http://submit.example:8080/";
    for (const int code : {kVortleNotHandshaken, kVortleHandshakeFailed}) {
        const std::string text = CStatusTexts::MoreInfoText(code, "Handshake failed: timeout", address);
        EXPECT_EQ(text.rfind("The last status message returned by the server was: \n\n"
                             "Handshake failed: timeout\n\n",
                             0),
                  0u);
        EXPECT_NE(text.find("You can verify this by going to " + address + ". If your browser"), std::string::npos);
        EXPECT_EQ(text.find("%1"), std::string::npos);
    }
    EXPECT_NE(CStatusTexts::MoreInfoText(kVortleHandshakeFailed, "x", address)
                  .find("\n\nx\n\nVortlebox failed to contact the Fenwave web server. This could be due to"),
              std::string::npos);
    EXPECT_EQ(CStatusTexts::MoreInfoText(kVortleSubmitOk, "OK", address),
              "The last status message returned by the server was: \n\nOK\n\nThe last track was successfully "
              "submitted to the Fenwave web server. Everything is as it should.");
}

} // namespace
