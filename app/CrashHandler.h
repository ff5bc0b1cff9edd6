#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

/// Catches the fault signals nothing else handles (SIGSEGV, SIGBUS, SIGFPE,
/// SIGILL, SIGTRAP), describes them in the log and saves "minidump.dmp" into
/// the user data directory, so that a crash can be studied afterwards.
///
/// Install() is the first thing the program does at start-up, before other
/// threads exist. The handler runs on an alternate signal stack, so that it
/// also runs when a thread has used up its own stack. Every thread has its
/// own alternate stack: Install() gives one to the calling thread; another
/// thread calls InstallForThisThread() when it starts, which StartThread()
/// does for every thread the program starts (without one, a stack overflow
/// in that thread kills the process by the signal's default action, without
/// log records or dump).
///
/// Install() also routes std::terminate (an exception that escapes a thread
/// body, for instance) to the same records and dump, as an exception of
/// unknown type; the process then ends with exit status 128 + SIGABRT.
///
/// While one thread handles a crash, another that crashes waits for it, so
/// the first one's dump is complete.
///
/// Everything the handler needs is prepared by Install(); the handler itself
/// only makes async-signal-safe calls and logs through
/// CLogger::LogFromSignal, which takes no lock, so a crash while another
/// thread holds the log's lock does not hang.
///
/// After a saved dump the process ends with exit status 128 + the signal
/// number. When the dump cannot be saved, the signal's default action follows
/// (the system's core dump, if enabled).
///
/// Dump file layout: text lines, then the raw stack bytes.
///   "Vortlebox crash dump 1\n"
///   "program: " executable path "\n"
///   "pid: " N "\n"  "tid: " N "\n"
///   "signal: " N " (" name ")\n"  "si_code: " N "\n"
///   "fault address: 0x" 16 hex digits "\n"
///   "exception code: 0x" 8 hex digits "\n"
///   "[registers]\n"  one "name 0x" 16 hex digits "\n" per register
///   "[backtrace]\n"  one line per frame
///   "[maps]\n"  a copy of /proc/self/maps
///   "[stack] address 0x" 16 hex digits " bytes " 10 decimal digits "\n"
///   the bytes of the crashing thread's stack upwards from its stack pointer
///   (at most kDumpStackBytes, fewer where the mapping ends), to the end of
///   the file.
class CCrashHandler {
public:
    /// Size of each thread's alternate signal stack (at least; more if the
    /// system asks for more).
    static constexpr size_t kAltStackSize = 64 * 1024;
    /// How many bytes of the crashing thread's stack the dump holds at most.
    static constexpr size_t kDumpStackBytes = 64 * 1024;
    /// The code given to signals that have no exception code.
    static constexpr uint32_t kUnknownCode = 0;
    /// Name of the dump file inside the folder.
    static constexpr const char* kDumpFileName = "minidump.dmp";

    /// Installs the handlers for the whole process and an alternate signal
    /// stack for the calling thread. userDir is where the dump goes; when it
    /// is empty or its dump path exceeds PATH_MAX, FallbackFolder() is used.
    /// Call again to change the folder.
    static void Install(const std::string& userDir);

    /// Gives the calling thread its own alternate signal stack (released when
    /// the thread ends) and records its stack bounds for telling a stack
    /// overflow from other access violations. Returns false if the stack
    /// could not be set up. Calling it twice on one thread does nothing more.
    static bool InstallForThisThread() noexcept;

    /// Starts body on a new thread that first calls InstallForThisThread().
    /// With threadId, returns once the new thread's kernel id is stored
    /// there; the thread publishes it before it does anything that may log,
    /// so the wait is safe under any lock. Throws std::system_error when the
    /// thread cannot be created.
    static std::thread StartThread(std::function<void()> body, long* threadId = nullptr);

    /// The folder used when the user data directory is unusable: the
    /// temporary folder ($TMPDIR, else /tmp) + "vb".
    static std::string FallbackFolder();

    /// The exception code for a fault signal and its si_code; stackOverflow
    /// turns an access violation into a stack overflow. kUnknownCode if the
    /// pair has none.
    static uint32_t ExceptionCode(int signalNumber, int signalCode, bool stackOverflow) noexcept;

    /// The description of an exception code; "Unknown exception type." for
    /// codes not in the table.
    static const char* Description(uint32_t code) noexcept;

    /// Whether a fault at faultAddress is the thread running out of stack:
    /// the address lies just below (or on) the stack pointer, or within the
    /// guard area below the lowest address of the thread's stack (stackLow,
    /// 0 when unknown).
    static bool IsStackOverflow(uintptr_t faultAddress, uintptr_t stackPointer, uintptr_t stackLow) noexcept;
};
