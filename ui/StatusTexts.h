#pragma once

#include <optional>
#include <string>

/// The texts of the status window that follow from the submission status
/// and the playing track, kept apart from the window so they can be checked
/// without one.
class CStatusTexts {
public:
    CStatusTexts() = delete;

    static constexpr const char* kVortlingEnabled = "Vortling enabled";
    static constexpr const char* kVortlingDisabled = "Vortling disabled";
    static constexpr const char* kStopped = "Stopped";
    static constexpr const char* kNotSubmitted = "Track will not be submitted";

    /// The status line of a submission status; nullopt for the codes that
    /// should not occur (1, 2, 10), which leave the line as it is; "" for
    /// codes beyond the table.
    static std::optional<std::string> StatusText(int code);
    /// Codes whose text nothing but a new status may replace: submitting,
    /// bad user name, password rejected (0, 8, 14, 16).
    static bool IsPinned(int code) noexcept;
    /// The user-problem codes that show the warning badge (8, 14, 16).
    static bool IsUserProblem(int code) noexcept;
    /// "Submitting in 03:07", "Submitting in 1:03:07".
    static std::string CountdownText(int secondsLeft);
    /// The string-table identifier explaining a code; 0 for none.
    static int ExplanationId(int code) noexcept;
    /// The "More info" text: the intro, the server's last status text and
    /// the explanation, separated by blank lines; submitAddress goes into
    /// the explanations that name the submission server.
    static std::string MoreInfoText(int code, const std::string& statusText, const std::string& submitAddress);
};
