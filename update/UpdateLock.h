#pragma once

#include <string>

/// The named lock by which the program tells the external updater that it
/// has gone: an flock'ed file of that name in $XDG_RUNTIME_DIR (or, without
/// one, in the user data directory $XDG_DATA_HOME/Fenwave/Vortlebox). The
/// program holds it until it ends; the updater waits until it can take it.
/// The file descriptor is close-on-exec, so started programs never hold it.
class CUpdateLock {
public:
    CUpdateLock() noexcept = default;
    /// Releases the lock if it is held.
    ~CUpdateLock();
    CUpdateLock(CUpdateLock&& other) noexcept;
    CUpdateLock& operator=(CUpdateLock&& other) noexcept;
    CUpdateLock(const CUpdateLock&) = delete;
    CUpdateLock& operator=(const CUpdateLock&) = delete;

    /// A lock name is a plain file name: not empty, not "." or "..", no "/".
    static bool IsValidName(const std::string& name);

    /// The file that stands for the lock of that name; "" when the account
    /// has neither a runtime folder nor a home folder.
    static std::string PathFor(const std::string& name);

    /// Takes the lock, waiting up to timeoutMs for another holder to let go
    /// (0: only try once). Creates the file (and its folder, owner only) if
    /// needed. Returns 0, EWOULDBLOCK when the time ran out, EINVAL for a bad
    /// name, ENOENT when there is no folder for it, or the error number of a
    /// failed open.
    int Acquire(const std::string& name, int timeoutMs);

    /// Lets go of the lock.
    void Release() noexcept;

    bool IsHeld() const noexcept { return mFd >= 0; }

    /// Keeps the lock until this process ends: the descriptor is left open
    /// for good, and this object no longer owns it.
    void KeepUntilProcessExit() noexcept { mFd = -1; }

private:
    int mFd = -1;
};
