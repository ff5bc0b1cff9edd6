// vortlebox-history: prints the history of plays for scripts.
//
//   vortlebox-history [--since WHEN] [--until WHEN] [--search TEXT] [--csv | --json] [--user NAME]
//
// Prints what the history window's File > Export writes for the same
// plays: CSV (the default) or JSON, oldest first. WHEN is a local date
// YYYY-MM-DD or a local time YYYY-MM-DD HH:MM[:SS] ("T" between them does
// too); --until of a date takes that whole day in. Bad arguments exit 2, a
// history that cannot be read exits 1.

#include "history/HistoryExport.h"
#include "history/HistoryStore.h"
#include "history/PlayHistory.h"
#include "settings/RegistryUtils.h"
#include "settings/SettingsManager.h"

#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: vortlebox-history [--since WHEN] [--until WHEN] [--search TEXT] [--csv | --json] [--user NAME]\n"
    "Prints the plays Vortlebox heard, oldest first, as CSV (the default) or JSON.\n"
    "WHEN is a local date YYYY-MM-DD or time YYYY-MM-DD HH:MM[:SS]; --until a date includes that day.\n"
    "Without --user, the history of the user logged in to Vortlebox.\n";

int Usage(const std::string& problem) {
    std::cerr << "vortlebox-history: " << problem << "\n" << kUsage;
    return 2;
}

/// A local date or time; with wholeDay, a date alone means the end of that
/// day (the next midnight).
std::optional<std::time_t> ParseWhen(const std::string& text, bool wholeDay) {
    for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M",
                               "%Y-%m-%d"}) {
        std::tm tm{};
        const char* end = ::strptime(text.c_str(), format, &tm);
        if (end == nullptr || *end != '\0')
            continue;
        const bool dateOnly = std::string(format) == "%Y-%m-%d";
        // strptime takes 2026-02-31, which mktime would move into March.
        const int year = tm.tm_year, month = tm.tm_mon, day = tm.tm_mday;
        tm.tm_isdst = -1;
        std::tm check = tm;
        if (std::mktime(&check) == static_cast<std::time_t>(-1) || check.tm_year != year || check.tm_mon != month ||
            check.tm_mday != day)
            return std::nullopt;
        if (dateOnly && wholeDay)
            ++tm.tm_mday;
        return std::mktime(&tm);
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    CHistoryStore::CFilter filter;
    std::optional<CHistoryExport::EFormat> format;
    std::string user;
    bool userGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--csv" || arg == "--json") {
            const auto chosen = arg == "--csv" ? CHistoryExport::EFormat::kCsv : CHistoryExport::EFormat::kJson;
            if (format && *format != chosen)
                return Usage("--csv and --json exclude each other");
            format = chosen;
            continue;
        }
        if (arg != "--since" && arg != "--until" && arg != "--search" && arg != "--user")
            return Usage("unknown argument '" + arg + "'");
        if (i + 1 >= args.size())
            return Usage(arg + " needs a value");
        const std::string& value = args[++i];
        if (arg == "--search") {
            filter.search = value;
        } else if (arg == "--user") {
            user = value;
            userGiven = true;
        } else {
            const auto when = ParseWhen(value, arg == "--until");
            if (!when)
                return Usage(arg + ": '" + value + "' is not a date (YYYY-MM-DD) or time (YYYY-MM-DD HH:MM)");
            (arg == "--since" ? filter.since : filter.until) = *when;
        }
    }
    if (filter.since && filter.until && *filter.since >= *filter.until)
        return Usage("--since must come before --until");
    if (userGiven && user.empty())
        return Usage("--user needs a name");

    try {
        if (!userGiven)
            user = CSettingsManager::StoredCurrentUser();
    } catch (const CRegistryUtils::CRegistryException& e) {
        std::cerr << "vortlebox-history: cannot read the settings: " << e.what() << "\n";
        return 1;
    }
    if (user.empty()) {
        std::cerr << "vortlebox-history: nobody is logged in to Vortlebox; name the user with --user\n";
        return 1;
    }
    const std::string dir = CSettingsManager::Instance().GetUserDir();
    if (dir.empty()) {
        std::cerr << "vortlebox-history: there is no user data folder\n";
        return 1;
    }
    try {
        std::unique_ptr<CHistoryStore> store = CHistoryStore::OpenForReading(CPlayHistory::FilePath(dir, user));
        if (!store && userGiven) {
            // A mistyped name would otherwise read as an empty history.
            try {
                CRegistryUtils::OpenKey("Software\\Fenwave\\Users\\" + user, false);
            } catch (const CRegistryUtils::CRegistryException&) {
                std::cerr << "vortlebox-history: there is no user '" << user << "'\n";
                return 1;
            }
        }
        CHistoryExport::Write(store.get(), filter, format.value_or(CHistoryExport::EFormat::kCsv), std::cout);
    } catch (const CHistoryStore::CStoreException& e) {
        std::cerr << "vortlebox-history: " << e.what() << "\n";
        return 1;
    }
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "vortlebox-history: cannot write the output\n";
        return 1;
    }
    return 0;
}
