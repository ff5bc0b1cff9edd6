#include "ui/StatusTexts.h"

#include "res/StringTable.h"
#include "submit/Vortler.h"

#include <cstdio>

std::optional<std::string> CStatusTexts::StatusText(int code) {
    switch (code) {
    case kVortleSubmitting:
        return "Submitting...";
    case kVortleNotHandshaken:
    case kVortleUnused2:
    case kVortleUnused10:
        return std::nullopt;
    case kVortleHandshaking:
        return "Connecting...";
    case kVortleHandshakeOk:
    case kVortleUpToDate:
    case kVortleNotStarted:
        return "Waiting";
    case kVortleUpdateAvailable:
    case kVortleHandshakeInvalid:
    case kVortleHandshakeFailed:
        return "Connection problem, caching tracks";
    case kVortleBadUser:
        return "The username is unknown";
    case kVortleSubmitOk:
    case kVortleUnused13:
        return "Submitted";
    case kVortleSubmitInvalid:
    case kVortleSubmitFailed:
        return "Submission failed, caching tracks";
    case kVortlePasswordRejected:
    case kVortleBadAuth:
        return "The password is incorrect";
    default:
        return std::string();
    }
}

bool CStatusTexts::IsPinned(int code) noexcept {
    return code == kVortleSubmitting || IsUserProblem(code);
}

bool CStatusTexts::IsUserProblem(int code) noexcept {
    return code == kVortleBadUser || code == kVortlePasswordRejected || code == kVortleBadAuth;
}

std::string CStatusTexts::CountdownText(int secondsLeft) {
    const int hours = secondsLeft / 3600;
    const int minutes = secondsLeft / 60 % 60;
    const int seconds = secondsLeft % 60;
    char buffer[48];
    if (hours > 0)
        std::snprintf(buffer, sizeof buffer, "Submitting in %d:%02d:%02d", hours, minutes, seconds);
    else
        std::snprintf(buffer, sizeof buffer, "Submitting in %02d:%02d", minutes, seconds);
    return buffer;
}

int CStatusTexts::ExplanationId(int code) noexcept {
    switch (code) {
    case kVortleSubmitting: return IDS_STATUS_SUBMITTING;
    case kVortleNotHandshaken: return IDS_STATUS_NO_HANDSHAKE;
    case kVortleUnused2: return IDS_STATUS_UNUSED_2;
    case kVortleHandshaking: return IDS_STATUS_CONNECTING;
    case kVortleHandshakeOk: return IDS_STATUS_READY;
    case kVortleUpToDate: return IDS_STATUS_UP_TO_DATE;
    case kVortleUpdateAvailable: return IDS_STATUS_NEW_VERSION;
    case kVortleHandshakeInvalid: return IDS_STATUS_WEIRD_HANDSHAKE;
    case kVortleBadUser: return IDS_STATUS_BAD_USER;
    case kVortleHandshakeFailed: return IDS_STATUS_CONNECT_FAILED;
    case kVortleUnused10: return IDS_STATUS_UNUSED_10;
    case kVortleSubmitOk: return IDS_STATUS_SUBMITTED;
    case kVortleSubmitInvalid: return IDS_STATUS_WEIRD_SUBMISSION;
    case kVortleUnused13: return IDS_STATUS_UNUSED_13;
    case kVortlePasswordRejected: return IDS_STATUS_BAD_PASSWORD;
    case kVortleSubmitFailed: return IDS_STATUS_SUBMIT_FAILED;
    case kVortleBadAuth: return IDS_STATUS_BAD_AUTH;
    case kVortleNotStarted: return IDS_STATUS_NOT_STARTED;
    default: return 0;
    }
}

std::string CStatusTexts::MoreInfoText(int code, const std::string& statusText, const std::string& submitAddress) {
    std::string explanation(CStringTable::Get(ExplanationId(code)));
    const std::size_t mark = explanation.find("%1");
    if (mark != std::string::npos)
        explanation.replace(mark, 2, submitAddress);
    return std::string(CStringTable::Get(IDS_MORE_INFO_INTRO)) + "\n\n" + statusText + "\n\n" + explanation;
}
