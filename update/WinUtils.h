#pragma once

#include <string>
#include <vector>

/// Folder look-ups and small text helpers shared by the update, settings and
/// cache code. All operations are static and keep no state.
class CWinUtils {
public:
    CWinUtils() = delete;

    /// The folder programs are installed under: $VORTLEBOX_PROGRAM_FILES, or
    /// "/" when it is not set. Always ends in "/". Throws std::logic_error
    /// ("Couldn't get Program Files dir.") when the variable is set but empty
    /// or not an absolute path.
    static std::string GetProgramFilesPath();

    /// $TMPDIR if set and not empty, else "/tmp"; always ends in "/".
    static std::string GetTempFolder();

    /// Creates the folder and every missing parent ("mkdir -p"), with the
    /// access the process's umask allows; failures are ignored. Folders the
    /// program keeps for itself are made with CUserFolders::CreatePrivateFolder.
    static void CreateFolderPath(const std::string& path);

    /// Drops leading " \t\n\f\r" and trailing " \t"; a trailing line break
    /// stays. A line of blanks only becomes empty.
    static void Trim(std::string& text);

    /// The double-quoted fields of a line, in order. Inside a field a doubled
    /// double quote stands for one; text outside quotes is ignored; a field
    /// without its closing quote is dropped and ends the scan.
    static std::vector<std::string> SplitQuoted(const std::string& line);

    /// Removes every "[...]" part, first bracket first.
    static void StripBracketed(std::string& text);
};
