#include "app/CrashHandler.h"

#include "app/Logger.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <pthread.h>
#include <regex>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------------------
// Ways to crash, each run inside a forked child.

volatile int gZero = 0;
volatile int gSink = 0;       // results go here, so no computation is dropped
volatile int gStopDepth = -1; // never reached: the recursion is unbounded

// Checked arithmetic would report the division itself; the hardware must.
__attribute__((no_sanitize("undefined"), noinline)) int DivideByZero() {
    volatile int dividend = 7;
    gSink = dividend / gZero;
    return gSink;
}

// Each frame keeps a buffer alive across the call, so the call cannot
// become a jump.
__attribute__((noinline)) int Recurse(volatile char* previous, int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    frame[sizeof frame - 1] = previous != nullptr ? previous[0] : 0;
    if (depth == gStopDepth)
        return frame[0];
    return Recurse(frame, depth + 1) + frame[7];
}

void OverflowStack() {
    gSink = Recurse(nullptr, 0);
}

// A page that may not be touched; mapped before the fork, so that the parent
// knows the fault address.
struct SForbiddenPage {
    SForbiddenPage() : address(::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {}
    ~SForbiddenPage() {
        if (address != MAP_FAILED)
            ::munmap(address, 4096);
    }
    void* address;
};

void WriteThrough(void* address) {
    *static_cast<volatile int*>(address) = 42;
}

// A write through a pointer to memory nobody may touch.
void AccessViolation() {
    WriteThrough(::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
}

// Reading a mapped page beyond the end of its file is a bus error.
void ReadPastEndOfFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::ftruncate(fd, 8192) != 0)
        ::_exit(90);
    void* map = ::mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED || ::ftruncate(fd, 0) != 0)
        ::_exit(91);
    (void)*static_cast<volatile char*>(map);
}

// A thread with a small stack of its own that runs out of it.
void OverflowStackInThread() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    auto body = [](void*) -> void* {
        if (!CCrashHandler::InstallForThisThread())
            ::_exit(92);
        OverflowStack();
        return nullptr;
    };
    if (pthread_create(&thread, &attr, body, nullptr) != 0)
        ::_exit(93);
    pthread_join(thread, nullptr);
}

// ---------------------------------------------------------------------------
// The child process.

struct SChild {
    pid_t pid = 0;
    int status = 0;
    bool finished = false;
};

// Forks; the child logs into logPath at level 4, installs the handler for
// userDir and runs crash; a child that survives exits with 0. Waits a
// generous while for the child, then kills it.
SChild RunCrashingChild(const std::string& logPath, const std::string& userDir,
                        const std::function<void()>& crash) {
    SChild result;
    pid_t pid = ::fork();
    result.pid = pid;
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return result;
    }
    if (pid == 0) {
        // No core files from the crashes that end by default action.
        struct rlimit noCore = {0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        CLogger::Instance().Open(logPath, true);
        CLogger::Instance().SetLevel(4);
        CCrashHandler::Install(userDir);
        crash();
        ::_exit(0);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        pid_t done = ::waitpid(pid, &result.status, WNOHANG);
        if (done == pid) {
            result.finished = true;
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &result.status, 0);
    ADD_FAILURE() << "the crashing child did not end";
    return result;
}

std::string StatusText(int status) {
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("signal ") + ::strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// The log of a crashed child, with the source line of each crash record
// written as "N" when it is a real one (not 0), so that records compare as
// texts.
std::string CrashLog(const std::string& path) {
    return std::regex_replace(ReadFile(path), std::regex(R"(Uncaught\([1-9][0-9]*\))"), "Uncaught(N)");
}

// The records the handler writes, as they appear in CrashLog.
std::string UnhandledRecord(uint32_t code) {
    return "Uncaught(N) - L1\n  Unhandled exception:\n  " + std::string(CCrashHandler::Description(code)) +
           "\n\n";
}
std::string ResultRecord(const std::string& text) {
    return "Uncaught(N) - L1\n  " + text + "\n";
}

// Checks the layout of a dump: the header names the signal and code, the
// sections follow in order, and the stack's byte count matches what follows.
void ExpectWellFormedDump(const std::string& dump, pid_t pid, int signalNumber, const char* signalName,
                          uint32_t code) {
    EXPECT_EQ(dump.rfind("Vortlebox crash dump 1\nprogram: ", 0), 0u) << dump.substr(0, 200);
    EXPECT_NE(dump.find("\npid: " + std::to_string(pid) + "\n"), std::string::npos) << dump.substr(0, 400);
    EXPECT_NE(dump.find("\nsignal: " + std::to_string(signalNumber) + " (" + signalName + ")\n"),
              std::string::npos)
        << dump.substr(0, 400);
    char codeText[16];
    std::snprintf(codeText, sizeof codeText, "0x%08x", code);
    EXPECT_NE(dump.find(std::string("\nexception code: ") + codeText + "\n"), std::string::npos)
        << dump.substr(0, 400);
    size_t registers = dump.find("\n[registers]\n");
    size_t backtrace = dump.find("\n[backtrace]\n");
    size_t maps = dump.find("\n[maps]\n");
    size_t stack = dump.find("\n[stack] address 0x");
    ASSERT_NE(registers, std::string::npos);
    ASSERT_NE(backtrace, std::string::npos);
    ASSERT_NE(maps, std::string::npos);
    ASSERT_NE(stack, std::string::npos);
    EXPECT_LT(registers, backtrace);
    EXPECT_LT(backtrace, maps);
    EXPECT_LT(maps, stack);
    // The copy of the memory map holds the program's stack mapping.
    EXPECT_NE(dump.substr(maps, stack - maps).find("[stack]"), std::string::npos);
    std::smatch match;
    std::string tail = dump.substr(stack + 1);
    ASSERT_TRUE(
        std::regex_search(tail, match, std::regex(R"(^\[stack\] address 0x[0-9a-f]{16} bytes (\d{10})\n)")))
        << tail.substr(0, 80);
    size_t count = std::stoul(match[1].str());
    EXPECT_GT(count, 0u);
    EXPECT_LE(count, CCrashHandler::kDumpStackBytes);
    EXPECT_EQ(tail.size() - match[0].length(), count) << "stack bytes must run to the end of the file";
}

// An environment whose user data directory exists.
struct CrashHandlerChildTest : ::testing::Test {
    CTestEnvironment env;
    std::string userDir = env.DataHome() + "/Fenwave/Vortlebox";
    std::string logPath = env.Root() + "/vortler.log";
    std::string dumpPath = userDir + "/minidump.dmp";
    void SetUp() override { std::filesystem::create_directories(userDir); }
};

struct SCrashCase {
    const char* name;
    int signalNumber;
    const char* signalName;
    uint32_t code;
    std::function<void(const CrashHandlerChildTest&)> crash;
    const void* faultAddress = nullptr; // checked when known
    const char* record = nullptr;       // a further record, checked when given
};

} // namespace

// ---------------------------------------------------------------------------
// The mapping from signals to exception codes and descriptions.

TEST(CrashHandlerTest, EveryCodeHasItsExactDescription) {
    const struct {
        uint32_t code;
        const char* text;
    } cases[] = {
        {0x80000002,
         "EXCEPTION_DATATYPE_MISALIGNMENT The thread tried to read or write data that is misaligned on "
         "hardware that does not provide alignment. For example, 16-bit values must be aligned on 2-byte "
         "boundaries; 32-bit values on 4-byte boundaries, and so on. "},
        {0x80000003, "EXCEPTION_BREAKPOINT A breakpoint was encountered."},
        {0x80000004,
         "EXCEPTION_SINGLE_STEP A trace trap or other single-instruction mechanism signaled that one "
         "instruction has been executed."},
        {0xC0000005,
         "EXCEPTION_ACCESS_VIOLATION The thread tried to read from or write to a virtual address for "
         "which it does not have the appropriate access."},
        {0xC0000006,
         "EXCEPTION_IN_PAGE_ERROR The thread tried to access a page that was not present, and the "
         "system was unable to load the page. For example, this exception might occur if a network "
         "connection is lost while running a program over the network."},
        {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION The thread tried to execute an invalid instruction."},
        {0xC0000025, "EXCEPTION_NONCONTINUABLE_EXCEPTION The thread tried to continue execution after a "
                     "noncontinuable exception occurred. "},
        {0xC0000026,
         "EXCEPTION_INVALID_DISPOSITION An exception handler returned an invalid disposition to the "
         "exception dispatcher. Programmers using a high-level language such as C should never "
         "encounter this exception."},
        {0xC000008C,
         "EXCEPTION_ARRAY_BOUNDS_EXCEEDED The thread tried to access an array element that is out of "
         "bounds and the underlying hardware supports bounds checking."},
        {0xC000008D,
         "EXCEPTION_FLT_DENORMAL_OPERAND One of the operands in a floating-point operation is denormal. "
         "A denormal value is one that is too small to represent as a standard floating-point value."},
        {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO The thread tried to divide a floating-point value by a "
                     "floating-point divisor of zero. "},
        {0xC000008F,
         "EXCEPTION_FLT_INEXACT_RESULT The result of a floating-point operation cannot be represented "
         "exactly as a decimal fraction."},
        {0xC0000090,
         "EXCEPTION_FLT_INVALID_OPERATION This exception represents any floating-point exception not "
         "included in this list. "},
        {0xC0000091, "EXCEPTION_FLT_OVERFLOW The exponent of a floating-point operation is greater than the "
                     "magnitude allowed by the corresponding type. "},
        {0xC0000092, "EXCEPTION_FLT_STACK_CHECK The stack overflowed or underflowed as the result of a "
                     "floating-point operation."},
        {0xC0000093, "EXCEPTION_FLT_UNDERFLOW The exponent of a floating-point operation is less than the "
                     "magnitude allowed by the corresponding type."},
        {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO The thread tried to divide an integer value by an integer "
                     "divisor of zero."},
        {0xC0000095,
         "EXCEPTION_INT_OVERFLOW The result of an integer operation caused a carry out of the most "
         "significant bit of the result. "},
        {0xC0000096,
         "EXCEPTION_PRIV_INSTRUCTION The thread tried to execute an instruction whose operation is not "
         "allowed in the current machine mode. "},
        {0xC00000FD, "EXCEPTION_STACK_OVERFLOW The thread used up its stack."},
        // Not in the table.
        {CCrashHandler::kUnknownCode, "Unknown exception type."},
        {0xC0000004, "Unknown exception type."},
        {0xC00000FE, "Unknown exception type."},
        {0xFFFFFFFF, "Unknown exception type."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::string(CCrashHandler::Description(c.code)), c.text) << std::hex << c.code;
}

TEST(CrashHandlerTest, SignalAndSignalCodeGiveTheExceptionCode) {
    const struct {
        int signalNumber;
        int signalCode;
        bool stackOverflow;
        uint32_t code;
    } cases[] = {
        {SIGSEGV, SEGV_MAPERR, false, 0xC0000005},
        {SIGSEGV, SEGV_ACCERR, false, 0xC0000005},
        {SIGSEGV, SI_USER, false, 0xC0000005},
        {SIGSEGV, SEGV_MAPERR, true, 0xC00000FD},
        {SIGSEGV, SEGV_ACCERR, true, 0xC00000FD},
        {SIGBUS, BUS_ADRALN, false, 0x80000002},
        {SIGBUS, BUS_ADRERR, false, 0xC0000006},
        {SIGBUS, BUS_OBJERR, false, 0xC0000006},
        {SIGBUS, SI_USER, false, 0xC0000006},
        {SIGFPE, FPE_INTDIV, false, 0xC0000094},
        {SIGFPE, FPE_INTOVF, false, 0xC0000095},
        {SIGFPE, FPE_FLTDIV, false, 0xC000008E},
        {SIGFPE, FPE_FLTOVF, false, 0xC0000091},
        {SIGFPE, FPE_FLTUND, false, 0xC0000093},
        {SIGFPE, FPE_FLTRES, false, 0xC000008F},
        {SIGFPE, FPE_FLTINV, false, 0xC0000090},
        {SIGFPE, FPE_FLTSUB, false, 0xC000008C},
        {SIGFPE, SI_USER, false, CCrashHandler::kUnknownCode},
        {SIGILL, ILL_PRVOPC, false, 0xC0000096},
        {SIGILL, ILL_PRVREG, false, 0xC0000096},
        {SIGILL, ILL_ILLOPC, false, 0xC000001D},
        {SIGILL, ILL_ILLOPN, false, 0xC000001D},
        {SIGILL, ILL_BADSTK, false, 0xC000001D},
        {SIGTRAP, TRAP_BRKPT, false, 0x80000003},
        {SIGTRAP, SI_KERNEL, false, 0x80000003},
        {SIGTRAP, TRAP_TRACE, false, 0x80000004},
        {SIGTRAP, SI_USER, false, CCrashHandler::kUnknownCode},
        {SIGABRT, SI_USER, false, CCrashHandler::kUnknownCode},
        // A stack overflow is only a kind of access violation.
        {SIGBUS, BUS_ADRERR, true, 0xC0000006},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CCrashHandler::ExceptionCode(c.signalNumber, c.signalCode, c.stackOverflow), c.code)
            << "signal " << c.signalNumber << " code " << c.signalCode << " overflow " << c.stackOverflow;
    }
    EXPECT_EQ(std::string(CCrashHandler::Description(CCrashHandler::ExceptionCode(SIGTRAP, SI_USER, false))),
              "Unknown exception type.");
}

TEST(CrashHandlerTest, StackOverflowIsAFaultAtTheStackPointerOrInTheGuardArea) {
    const uintptr_t sp = 0x7ffd00100000;
    const uintptr_t low = 0x7ffd00000000;
    const struct {
        uintptr_t fault;
        uintptr_t stackPointer;
        uintptr_t stackLow;
        bool overflow;
    } cases[] = {
        {sp - 8, sp, 0, true},           // a push that faults
        {sp, sp, 0, true},               // a store to the top of a new frame
        {sp - 60 * 1024, sp, 0, true},   // a large frame
        {sp - 200 * 1024, sp, 0, false}, // far below: a stray pointer
        {sp + 64 * 1024, sp, 0, false},  // above the stack pointer
        {0x10, sp, 0, false},            // near null
        {0x10, sp, low, false},
        {low - 8, low + 64, low, true},    // into the guard below the stack
        {low - 512 * 1024, sp, low, true}, // still within the guard area
        {low - 4096 * 1024, sp, low, false},
        {low + 100, sp, low, true}, // the lowest page of the stack
        {0x1000, 0x800, 0, true},   // a stack pointer near zero does not wrap
        {0x500000, 0, 0, false},    // nothing known
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CCrashHandler::IsStackOverflow(c.fault, c.stackPointer, c.stackLow), c.overflow)
            << std::hex << "fault " << c.fault << " sp " << c.stackPointer << " low " << c.stackLow;
    }
}

TEST(CrashHandlerTest, FallbackFolderIsTheTemporaryFolderPlusVb) {
    CScopedEnv env;
    const struct {
        const char* tmpdir; // null: unset
        const char* folder;
    } cases[] = {
        {"/var/tmp/x", "/var/tmp/x/vb"},
        {"/var/tmp/x/", "/var/tmp/x/vb"},
        {"", "/tmp/vb"},
        {nullptr, "/tmp/vb"},
    };
    for (const auto& c : cases) {
        if (c.tmpdir != nullptr)
            env.Set("TMPDIR", c.tmpdir);
        else
            env.Unset("TMPDIR");
        EXPECT_EQ(CCrashHandler::FallbackFolder(), c.folder) << (c.tmpdir ? c.tmpdir : "(unset)");
    }
}

// ---------------------------------------------------------------------------
// Real crashes in child processes.

TEST_F(CrashHandlerChildTest, CrashesAreLoggedAndDumpedAndEndTheProcess) {
    SForbiddenPage page;
    ASSERT_NE(page.address, MAP_FAILED);
    std::vector<SCrashCase> cases = {
        {"access violation", SIGSEGV, "SIGSEGV", 0xC0000005,
         [&](const CrashHandlerChildTest&) { WriteThrough(page.address); }, page.address},
        {"integer division by zero", SIGFPE, "SIGFPE", 0xC0000094,
         [](const CrashHandlerChildTest&) { DivideByZero(); }},
        {"stack overflow in the main thread", SIGSEGV, "SIGSEGV", 0xC00000FD,
         [](const CrashHandlerChildTest&) {
             // A small limit, so that even an unlimited stack ends soon.
             struct rlimit limit = {2 * 1024 * 1024, 2 * 1024 * 1024};
             ::setrlimit(RLIMIT_STACK, &limit);
             OverflowStack();
         }},
        {"stack overflow in another thread", SIGSEGV, "SIGSEGV", 0xC00000FD,
         [](const CrashHandlerChildTest&) { OverflowStackInThread(); }},
        {"stack overflow in a thread the program starts", SIGSEGV, "SIGSEGV", 0xC00000FD,
         [](const CrashHandlerChildTest&) { CCrashHandler::StartThread(OverflowStack).join(); }},
        {"exception escaping a thread", SIGABRT, "SIGABRT", CCrashHandler::kUnknownCode,
         [](const CrashHandlerChildTest&) {
             CCrashHandler::StartThread([] { throw std::runtime_error("no way out"); }).join();
         },
         nullptr, "std::terminate called: exception escaped: no way out\n"},
        {"bus error", SIGBUS, "SIGBUS", 0xC0000006,
         [](const CrashHandlerChildTest& f) { ReadPastEndOfFile(f.env.Root() + "/short.bin"); }},
        {"illegal instruction", SIGILL, "SIGILL", 0xC000001D,
         [](const CrashHandlerChildTest&) { __builtin_trap(); }},
#if defined(__x86_64__) || defined(__i386__)
        {"breakpoint", SIGTRAP, "SIGTRAP", 0x80000003,
         [](const CrashHandlerChildTest&) { __asm__ volatile("int3"); }},
#endif
    };
    for (const SCrashCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dumpPath);
        SChild child = RunCrashingChild(logPath, userDir, [&] { c.crash(*this); });
        ASSERT_TRUE(child.finished);
        EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 128 + c.signalNumber)
            << StatusText(child.status);
        const std::string log = CrashLog(logPath);
        EXPECT_NE(log.find(UnhandledRecord(c.code)), std::string::npos) << log;
        EXPECT_NE(log.find(ResultRecord("Saved dump file to '" + dumpPath + "'")), std::string::npos) << log;
        EXPECT_EQ(log.find("Couldn't get user dir"), std::string::npos) << log;
        if (c.record != nullptr) {
            EXPECT_NE(log.find(ResultRecord(c.record)), std::string::npos) << log;
        }
        ASSERT_TRUE(FileExists(dumpPath));
        const std::string dump = ReadFile(dumpPath);
        ExpectWellFormedDump(dump, child.pid, c.signalNumber, c.signalName, c.code);
        if (c.faultAddress != nullptr) {
            char address[32];
            std::snprintf(address, sizeof address, "0x%016jx",
                          static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(c.faultAddress)));
            EXPECT_NE(dump.find(std::string("\nfault address: ") + address + "\n"), std::string::npos)
                << address;
        }
    }
}

TEST_F(CrashHandlerChildTest, AnExistingDumpIsOverwritten) {
    const std::string old(1024 * 1024, 'X');
    WriteFile(dumpPath, old);
    SChild child = RunCrashingChild(logPath, userDir, [] { DivideByZero(); });
    ASSERT_TRUE(child.finished);
    EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 128 + SIGFPE)
        << StatusText(child.status);
    const std::string dump = ReadFile(dumpPath);
    EXPECT_EQ(dump.rfind("Vortlebox crash dump 1\n", 0), 0u);
    EXPECT_LT(dump.size(), old.size()) << "the old content must be cut away";
    ExpectWellFormedDump(dump, child.pid, SIGFPE, "SIGFPE", 0xC0000094);
}

TEST_F(CrashHandlerChildTest, AnUnwritableFolderLeavesTheDefaultAction) {
    const std::string file = env.Root() + "/plain-file";
    WriteFile(file, "not a folder");
    const std::string readOnly = env.Root() + "/read-only";
    std::filesystem::create_directories(readOnly);
    ::chmod(readOnly.c_str(), 0500);
    const struct {
        const char* name;
        std::string folder;
        int error;
        bool needsPermissions; // root may write anywhere
        int signalNumber;
        std::function<void()> crash;
    } cases[] = {
        {"missing folder", env.Root() + "/missing", ENOENT, false, SIGSEGV, [] { AccessViolation(); }},
        {"folder is a file", file, ENOTDIR, false, SIGFPE, [] { DivideByZero(); }},
        {"read-only folder", readOnly, EACCES, true, SIGSEGV, [] { AccessViolation(); }},
        // Sent rather than caused: it must be raised again, not returned from.
        {"sent signal", env.Root() + "/missing", ENOENT, false, SIGBUS, [] { ::raise(SIGBUS); }},
#if defined(__x86_64__) || defined(__i386__)
        // A trap does not repeat by itself when the handler returns.
        {"breakpoint", env.Root() + "/missing", ENOENT, false, SIGTRAP, [] { __asm__ volatile("int3"); }},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsPermissions && ::geteuid() == 0) {
            std::printf("skipping '%s': permissions do not bind root\n", c.name);
            continue;
        }
        SChild child = RunCrashingChild(logPath, c.folder, c.crash);
        ASSERT_TRUE(child.finished);
        EXPECT_TRUE(WIFSIGNALED(child.status) && WTERMSIG(child.status) == c.signalNumber)
            << StatusText(child.status);
        const std::string log = CrashLog(logPath);
        EXPECT_NE(log.find("Uncaught(N) - L1\n  Unhandled exception:\n  "), std::string::npos) << log;
        const std::string failure = "Failed to create dump file '" + c.folder + "/minidump.dmp' (error " +
                                    std::to_string(c.error) + ")";
        EXPECT_NE(log.find(ResultRecord(failure)), std::string::npos) << log;
        EXPECT_EQ(log.find("Saved dump file"), std::string::npos) << log;
    }
}

TEST_F(CrashHandlerChildTest, WithoutAUsableUserDirTheFallbackFolderIsUsed) {
    const std::string fallback = env.TempDir() + "/vb";
    const struct {
        const char* name;
        std::string userDir;
        std::string note;
    } cases[] = {
        {"empty", "", "Couldn't get user dir, will use " + fallback + "\n"},
        {"too long", "/" + std::string(PATH_MAX, 'd'), "User dir too long, will use " + fallback + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(fallback);
        SChild child = RunCrashingChild(logPath, c.userDir, [] { AccessViolation(); });
        ASSERT_TRUE(child.finished);
        EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 128 + SIGSEGV)
            << StatusText(child.status);
        const std::string log = CrashLog(logPath);
        const size_t unhandled = log.find(UnhandledRecord(0xC0000005));
        const size_t note = log.find("Uncaught(N) - L1\n  " + c.note + "\n");
        const size_t saved = log.find(ResultRecord("Saved dump file to '" + fallback + "/minidump.dmp'"));
        ASSERT_NE(unhandled, std::string::npos) << log;
        ASSERT_NE(note, std::string::npos) << log;
        ASSERT_NE(saved, std::string::npos) << log;
        EXPECT_LT(unhandled, note);
        EXPECT_LT(note, saved);
        struct stat st {};
        ASSERT_EQ(::stat(fallback.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << "the folder is created for the user alone";
        ExpectWellFormedDump(ReadFile(fallback + "/minidump.dmp"), child.pid, SIGSEGV, "SIGSEGV", 0xC0000005);
    }
}

TEST_F(CrashHandlerChildTest, AFallbackFolderOthersMayWriteIsNotUsed) {
    const std::string fallback = env.TempDir() + "/vb";
    std::filesystem::create_directories(fallback);
    ::chmod(fallback.c_str(), 0777);
    SChild child = RunCrashingChild(logPath, "", [] { AccessViolation(); });
    ASSERT_TRUE(child.finished);
    EXPECT_TRUE(WIFSIGNALED(child.status) && WTERMSIG(child.status) == SIGSEGV) << StatusText(child.status);
    const std::string log = CrashLog(logPath);
    EXPECT_NE(log.find(ResultRecord("Failed to create dump file '" + fallback + "/minidump.dmp' (error " +
                                    std::to_string(EACCES) + ")")),
              std::string::npos)
        << log;
    EXPECT_FALSE(FileExists(fallback + "/minidump.dmp"));
}

TEST_F(CrashHandlerChildTest, ACrashWhileTheLogIsLockedStillWritesItsRecords) {
    const struct {
        const char* name;
        bool otherThread;
    } cases[] = {
        {"held by another thread", true},
        {"held by the crashing thread", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool otherThread = c.otherThread;
        SChild child = RunCrashingChild(logPath, userDir, [otherThread] {
            std::recursive_mutex& mutex = CLogger::Instance().Mutex();
            if (!otherThread) {
                mutex.lock();
                AccessViolation();
                return;
            }
            int locked[2], release[2];
            if (::pipe(locked) != 0 || ::pipe(release) != 0)
                ::_exit(94);
            std::thread holder([&] {
                std::lock_guard<std::recursive_mutex> guard(mutex);
                char byte = 1;
                if (::write(locked[1], &byte, 1) != 1 || ::read(release[0], &byte, 1) != 1)
                    ::_exit(95);
            });
            char byte = 0;
            if (::read(locked[0], &byte, 1) != 1)
                ::_exit(96);
            AccessViolation();
            // Not reached; releases and joins the holder all the same.
            if (::write(release[1], &byte, 1) != 1)
                ::_exit(97);
            holder.join();
        });
        ASSERT_TRUE(child.finished);
        EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 128 + SIGSEGV)
            << StatusText(child.status);
        const std::string log = CrashLog(logPath);
        EXPECT_NE(log.find(UnhandledRecord(0xC0000005)), std::string::npos) << log;
        EXPECT_NE(log.find(ResultRecord("Saved dump file to '" + dumpPath + "'")), std::string::npos) << log;
    }
}

TEST_F(CrashHandlerChildTest, ASecondFaultWhileTheDumpIsWrittenWaitsForIt) {
    // The dump file is a pipe: the first crash stays in its handler until
    // the test reads the dump. Meanwhile a second thread faults the same way.
    ASSERT_EQ(::mkfifo(dumpPath.c_str(), 0600), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const std::string log = logPath;
    SChild child;
    child.pid = ::fork();
    ASSERT_GE(child.pid, 0);
    if (child.pid == 0) {
        struct rlimit noCore = {0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        CLogger::Instance().Open(log, true);
        CLogger::Instance().SetLevel(4);
        CCrashHandler::Install(userDir);
        std::thread second([&] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (ReadFile(log).find("Unhandled exception") == std::string::npos) {
                if (std::chrono::steady_clock::now() > until)
                    ::_exit(98);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const long tid = LogDetail::ThreadId();
            if (::write(ready[1], &tid, sizeof tid) != sizeof tid)
                ::_exit(99);
            AccessViolation();
        });
        AccessViolation();
        ::_exit(0);
    }
    ::close(ready[1]);
    long tid = 0;
    pollfd wait{ready[0], POLLIN, 0};
    const bool told = ::poll(&wait, 1, 20000) == 1 && ::read(ready[0], &tid, sizeof tid) == sizeof tid;
    ::close(ready[0]);
    // The second thread sleeps in its handler, and the process lives on.
    bool sleeping = false;
    const std::string stat = "/proc/" + std::to_string(child.pid) + "/task/" + std::to_string(tid) + "/stat";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (told && !sleeping && std::chrono::steady_clock::now() < until) {
        const std::string text = ReadFile(stat);
        const size_t close = text.rfind(')');
        sleeping = close != std::string::npos && text.compare(close, 4, ") S ") == 0;
        if (!sleeping)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool alive = ::waitpid(child.pid, &child.status, WNOHANG) == 0;
    // Reading the pipe lets the first handler finish.
    std::string dump;
    if (alive) {
        const int fd = ::open(dumpPath.c_str(), O_RDONLY | O_CLOEXEC);
        char buffer[65536];
        ssize_t n;
        while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0)
            dump.append(buffer, static_cast<size_t>(n));
        if (fd >= 0)
            ::close(fd);
    }
    if (!alive || ::waitpid(child.pid, &child.status, 0) != child.pid)
        ADD_FAILURE() << "the process ended before its dump was written: " << StatusText(child.status);
    EXPECT_TRUE(told);
    EXPECT_TRUE(sleeping);
    EXPECT_EQ(dump.rfind("Vortlebox crash dump 1\n", 0), 0u) << dump.substr(0, 100);
    // Only the first crash is recorded. (A pipe cannot take the stack's byte
    // count afterwards, so this dump counts as failed.)
    const std::string text = CrashLog(logPath);
    EXPECT_EQ(text.find("Unhandled exception"), text.rfind("Unhandled exception")) << text;
    EXPECT_NE(text.find(UnhandledRecord(0xC0000005)), std::string::npos) << text;
}

TEST(CrashHandlerTest, EachThreadGetsOneAlternateStackOfItsOwn) {
    // Runs in threads of this process: only the stacks are set up, no
    // handler is installed. Ending the threads releases the stacks.
    stack_t first{}, again{}, other{};
    bool installed = false, installedAgain = false, installedOther = false;
    std::thread one([&] {
        installed = CCrashHandler::InstallForThisThread();
        ::sigaltstack(nullptr, &first);
        installedAgain = CCrashHandler::InstallForThisThread();
        ::sigaltstack(nullptr, &again);
    });
    one.join();
    std::thread two([&] {
        installedOther = CCrashHandler::InstallForThisThread();
        ::sigaltstack(nullptr, &other);
    });
    two.join();
    ASSERT_TRUE(installed && installedAgain && installedOther);
    EXPECT_EQ(first.ss_flags & SS_DISABLE, 0);
    EXPECT_GE(first.ss_size, CCrashHandler::kAltStackSize);
    EXPECT_EQ(again.ss_sp, first.ss_sp) << "a second call keeps the thread's stack";
    EXPECT_EQ(again.ss_size, first.ss_size);
    EXPECT_EQ(other.ss_flags & SS_DISABLE, 0);
    EXPECT_GE(other.ss_size, CCrashHandler::kAltStackSize);
}

TEST(CrashHandlerTest, AStartedThreadGivesItsIdBeforeAnythingElse) {
    // A thread's id may be awaited while the log's lock is held (to log it),
    // also when the new thread logs right away.
    CTestEnvironment env;
    CLogCapture log;
    std::atomic<long> seen{0};
    long id = 0;
    std::thread thread;
    {
        std::lock_guard<std::recursive_mutex> guard(CLogger::Instance().Mutex());
        thread = CCrashHandler::StartThread(
            [&] {
                seen = LogDetail::ThreadId();
                VBX_LOG(3, "Started\n");
            },
            &id);
    }
    thread.join();
    EXPECT_EQ(id, seen.load());
    EXPECT_TRUE(log.Contains("Started\n"));
}
