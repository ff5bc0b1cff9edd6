// The external updater. The program cannot replace its own files while it
// runs, so it copies this program to "UpTemp.exe", starts it as
//
//   UpTemp.exe R LOCKNAME INSTALLER
//
// and exits. This program waits until the program has released the update
// lock LOCKNAME, runs the installer and waits for it, removes it when it
// lies in a download folder of the program's own, and then starts the
// program again. It has no log file of its own: it reports to stderr.
#include "settings/RegistryUtils.h"
#include "update/AutoUpdater.h"
#include "update/ChildProcess.h"
#include "update/UpdateLock.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/// How long the program may take to exit before the update is given up.
constexpr int kLockWaitMs = 5 * 60 * 1000;

void Say(const std::string& text) {
    std::cerr << "Updater: " << text << std::endl;
}

bool IsExecutableFile(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string OwnFolder() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return ".";
    const std::string path(buffer, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

/// "vortlebox" beside this program, else the "Path" the settings store
/// keeps for the program when it names an existing file; "" if neither.
std::string ProgramToStart() {
    const std::string beside = OwnFolder() + "/vortlebox";
    if (IsExecutableFile(beside))
        return beside;
    try {
        CRegistryKey key = CRegistryUtils::OpenKey("Software\\Fenwave\\Vortlebox", false);
        const std::string stored = CRegistryUtils::ReadString(key, "Path");
        if (IsExecutableFile(stored))
            return stored;
        Say("the stored program path '" + stored + "' is not an executable file");
    } catch (const std::exception& e) {
        Say(std::string("no stored program path: ") + e.what());
    }
    return std::string();
}

/// The program hands over its installer in a download folder made for it;
/// once the installer has run, neither is needed. Any other file is left
/// where it is.
void RemoveDownloadedInstaller(const std::string& installer) {
    const std::size_t slash = installer.rfind('/');
    if (slash == std::string::npos)
        return;
    const std::string folder = installer.substr(0, slash);
    const std::string folderName = folder.substr(folder.rfind('/') + 1);
    if (folderName.rfind(CAutoUpdater::kDownloadFolderPrefix, 0) != 0)
        return;
    if (::unlink(installer.c_str()) != 0 || ::rmdir(folder.c_str()) != 0)
        Say("cannot remove the installer's folder " + folder + ": " + std::strerror(errno));
}

std::string DescribeStatus(int status) {
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("was ended by signal ") + std::to_string(WTERMSIG(status));
    return "ended";
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[1], "R") != 0 || !CUpdateLock::IsValidName(argv[2]) ||
        argv[3][0] == '\0') {
        std::cerr << "usage: " << (argc > 0 ? argv[0] : "UpTemp.exe") << " R LOCKNAME INSTALLER\n"
                  << "Waits until the program holding the update lock LOCKNAME has exited, runs the\n"
                  << "installer INSTALLER, and starts the program again.\n";
        return 2;
    }
    const std::string lockName = argv[2];
    const std::string installer = argv[3];

    // Outlive the program's terminal and process group.
    ::setsid();
    ::signal(SIGHUP, SIG_IGN);

    Say("waiting for the program to exit (lock " + CUpdateLock::PathFor(lockName) + ")");
    CUpdateLock lock;
    const int lockError = lock.Acquire(lockName, kLockWaitMs);
    if (lockError == EWOULDBLOCK) {
        Say("the program has not exited within 5 minutes; giving up the update");
        return 1;
    }
    if (lockError != 0) {
        Say("cannot use the lock file " + CUpdateLock::PathFor(lockName) + ": " + std::strerror(lockError));
        return 1;
    }
    // Only the program's exit mattered; the lock is not needed any more.
    lock.Release();

    int result = 0;
    Say("running the installer " + installer);
    CChildProcess child;
    int error = ::chmod(installer.c_str(), 0700) == 0 ? 0 : errno;
    if (error == 0)
        error = child.Spawn(installer, {installer});
    if (error != 0) {
        Say("cannot start the installer " + installer + ": " + std::strerror(error));
        result = 1;
    } else {
        child.WaitForExit(-1);
        Say("the installer " + DescribeStatus(child.Status()));
        if (!WIFEXITED(child.Status()) || WEXITSTATUS(child.Status()) != 0)
            result = 1;
    }
    RemoveDownloadedInstaller(installer);

    const std::string program = ProgramToStart();
    if (program.empty()) {
        Say("found no program to start again");
        return 1;
    }
    Say("starting " + program);
    CChildProcess restarted;
    error = restarted.Spawn(program, {program}, true);
    if (error != 0) {
        Say("cannot start " + program + ": " + std::strerror(error));
        return 1;
    }
    // The program goes on by itself; it is not waited for.
    return result;
}
