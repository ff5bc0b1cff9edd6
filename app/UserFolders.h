#pragma once

#include <string>

/// Where an account keeps its files, by the XDG base-directory rules, and
/// the making of the folders the program keeps for itself. Every lookup
/// reads the environment afresh, so tests can point it elsewhere.
class CUserFolders {
public:
    CUserFolders() = delete;

    /// $HOME when it is an absolute path, else the account's home folder
    /// from the password database; "" when neither is known.
    static std::string Home();

    /// $XDG_CONFIG_HOME when it is an absolute path, else Home() + "/.config";
    /// "" without a home folder.
    static std::string ConfigHome();

    /// $XDG_DATA_HOME when it is an absolute path, else Home() +
    /// "/.local/share"; "" without a home folder.
    static std::string DataHome();

    /// $XDG_RUNTIME_DIR when it is an absolute path naming a folder, else "".
    static std::string RuntimeDir();

    /// The program, and its desktop half, which the program becomes (in
    /// the same process) when there is a display.
    static constexpr const char* kProgramName = "vortlebox";
    static constexpr const char* kDesktopProgramName = "vortlebox-desktop";

    /// The folder of the running program (where its helpers lie beside it),
    /// without a trailing "/"; "" when it cannot be read.
    static std::string ProgramFolder();
    /// The program's path, as others start it: the desktop half answers
    /// with the program beside it. "" when it cannot be read.
    static std::string ProgramPath();

    /// Creates the folder and every missing parent, each one it makes
    /// accessible to its owner only (0700); folders that exist are left as
    /// they are. Returns 0 when the folder exists afterwards, else the error
    /// number of the failure (ENOENT for an empty path).
    static int CreatePrivateFolder(const std::string& path);

    /// Takes group and others' access away from a folder of the account's
    /// own (one an earlier version made open to them); changed tells
    /// whether it had any. A folder of another owner, or a link, is left
    /// alone (EPERM). Returns 0, or the error number (ENOENT when missing).
    static int MakePrivate(const std::string& path, bool& changed);
};
