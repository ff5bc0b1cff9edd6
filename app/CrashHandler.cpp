#include "app/CrashHandler.h"

#include "app/Logger.h"
#include "app/UniqueFd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <future>
#include <memory>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};

// How far below the stack pointer a fault still counts as running out of
// stack (a frame larger than this is rare), and the area below the lowest
// stack address that the kernel keeps unmapped as a guard.
constexpr uintptr_t kBelowStackPointer = 64 * 1024;
constexpr uintptr_t kStackGuardArea = 1024 * 1024;
constexpr uintptr_t kPage = 4096;

// Bytes of the stack header line that hold the byte count, patched in once
// the stack has been written.
constexpr int kStackCountDigits = 10;

struct SDescription {
    uint32_t code;
    const char* text;
};

constexpr SDescription kDescriptions[] = {
    {0x80000002,
     "EXCEPTION_DATATYPE_MISALIGNMENT The thread tried to read or write data that is misaligned on "
     "hardware that does not provide alignment. For example, 16-bit values must be aligned on "
     "2-byte boundaries; 32-bit values on 4-byte boundaries, and so on. "},
    {0x80000003, "EXCEPTION_BREAKPOINT A breakpoint was encountered."},
    {0x80000004, "EXCEPTION_SINGLE_STEP A trace trap or other single-instruction mechanism signaled that one "
                 "instruction has been executed."},
    {0xC0000005, "EXCEPTION_ACCESS_VIOLATION The thread tried to read from or write to a virtual address for "
                 "which it does not have the appropriate access."},
    {0xC0000006, "EXCEPTION_IN_PAGE_ERROR The thread tried to access a page that was not present, and the "
                 "system was unable to load the page. For example, this exception might occur if a network "
                 "connection is lost while running a program over the network."},
    {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION The thread tried to execute an invalid instruction."},
    {0xC0000025, "EXCEPTION_NONCONTINUABLE_EXCEPTION The thread tried to continue execution after a "
                 "noncontinuable exception occurred. "},
    {0xC0000026, "EXCEPTION_INVALID_DISPOSITION An exception handler returned an invalid disposition to the "
                 "exception dispatcher. Programmers using a high-level language such as C should never "
                 "encounter this exception."},
    {0xC000008C, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED The thread tried to access an array element that is out of "
                 "bounds and the underlying hardware supports bounds checking."},
    {0xC000008D, "EXCEPTION_FLT_DENORMAL_OPERAND One of the operands in a floating-point operation is "
                 "denormal. A denormal value is one that is too small to represent as a standard "
                 "floating-point value."},
    {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO The thread tried to divide a floating-point value by a "
                 "floating-point divisor of zero. "},
    {0xC000008F,
     "EXCEPTION_FLT_INEXACT_RESULT The result of a floating-point operation cannot be represented "
     "exactly as a decimal fraction."},
    {0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION This exception represents any floating-point exception not "
                 "included in this list. "},
    {0xC0000091, "EXCEPTION_FLT_OVERFLOW The exponent of a floating-point operation is greater than the "
                 "magnitude allowed by the corresponding type. "},
    {0xC0000092, "EXCEPTION_FLT_STACK_CHECK The stack overflowed or underflowed as the result of a "
                 "floating-point operation."},
    {0xC0000093, "EXCEPTION_FLT_UNDERFLOW The exponent of a floating-point operation is less than the "
                 "magnitude allowed by the corresponding type."},
    {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO The thread tried to divide an integer value by an integer "
                 "divisor of zero."},
    {0xC0000095, "EXCEPTION_INT_OVERFLOW The result of an integer operation caused a carry out of the most "
                 "significant bit of the result. "},
    {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION The thread tried to execute an instruction whose operation is "
                 "not allowed in the current machine mode. "},
    {0xC00000FD, "EXCEPTION_STACK_OVERFLOW The thread used up its stack."},
};

constexpr const char* kUnknownDescription = "Unknown exception type.";

// What the handler needs, prepared by Install so that the handler only
// copies and writes.
struct SState {
    char folder[PATH_MAX];
    char dumpPath[PATH_MAX];
    char program[PATH_MAX];
    // Logged before the dump when the folder is not the user data directory.
    char folderNote[PATH_MAX + 64];
    // The fallback folder lies in a shared temporary folder: it is created
    // on demand and used only if it is ours alone.
    bool fallback;
};

SState gState;

// The thread that is handling a crash, 0 while none is.
std::atomic<long> gCrashingThread{0};

// Per-thread facts the handler reads. Plain data with the initial-exec
// model, so that reading them in the handler never allocates.
struct SThreadStack {
    void* mapping;
    size_t mappingSize;
    void* altStack;
    uintptr_t stackLow;
    uintptr_t stackHigh;
};

__attribute__((tls_model("initial-exec"))) thread_local SThreadStack tThread = {};

// Releases the calling thread's alternate stack when the thread ends.
struct SAltStackRelease {
    bool armed = false;
    ~SAltStackRelease() {
        if (!armed || tThread.mapping == nullptr)
            return;
        stack_t current{};
        if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == tThread.altStack) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            ::sigaltstack(&off, nullptr);
        }
        ::munmap(tThread.mapping, tThread.mappingSize);
        tThread = {};
    }
};

thread_local SAltStackRelease tRelease;

// Text built in a fixed buffer; too long a text is cut.
template <size_t N> struct SText {
    char data[N];
    size_t size = 0;

    SText() { data[0] = '\0'; }
    SText& Add(const char* text) noexcept {
        while (*text != '\0' && size + 1 < N)
            data[size++] = *text++;
        data[size] = '\0';
        return *this;
    }
    SText& AddDecimal(long long value, int width = 0, char fill = ' ') noexcept {
        char digits[24];
        int n = 0;
        unsigned long long v = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        if (value < 0)
            digits[n++] = '-';
        for (int i = n; i < width; ++i)
            AddChar(fill);
        while (n > 0)
            AddChar(digits[--n]);
        return *this;
    }
    SText& AddHex(unsigned long long value, int digits) noexcept {
        static const char kHex[] = "0123456789abcdef";
        Add("0x");
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
            AddChar(kHex[(value >> shift) & 0xF]);
        return *this;
    }
    SText& AddChar(char c) noexcept {
        if (size + 1 < N) {
            data[size++] = c;
            data[size] = '\0';
        }
        return *this;
    }
};

// The dump file: writes whole buffers and remembers the first error.
class CDumpFile {
public:
    explicit CDumpFile(int fd) : mFd(fd) {}

    // Writes all of it; returns the bytes written. A buffer that ends in
    // unmapped memory gives a short count and EFAULT, which is not
    // remembered when faultIsEnd is set: write(2) reads the memory itself,
    // so unreadable bytes cannot crash the handler.
    size_t Write(const void* data, size_t size, bool faultIsEnd = false) noexcept {
        const char* p = static_cast<const char*>(data);
        size_t done = 0;
        while (done < size) {
            // The raw system call: the bytes may be anything, including
            // stack areas an instrumented write() would refuse to read.
            long w = ::syscall(SYS_write, mFd, p + done, size - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                int error = w < 0 ? errno : EIO;
                if (!(faultIsEnd && error == EFAULT))
                    SetError(error);
                break;
            }
            done += static_cast<size_t>(w);
        }
        return done;
    }
    template <size_t N> void Write(const SText<N>& text) noexcept { Write(text.data, text.size); }

    int Fd() const noexcept { return mFd; }
    int Error() const noexcept { return mError; }
    void SetError(int error) noexcept {
        if (mError == 0)
            mError = error;
    }

private:
    int mFd;
    int mError = 0;
};

const char* SignalName(int signalNumber) noexcept {
    switch (signalNumber) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGTRAP:
        return "SIGTRAP";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "unknown";
    }
}

uintptr_t StackPointer(const void* context) noexcept {
    const auto* uc = static_cast<const ucontext_t*>(context);
    if (uc == nullptr)
        return 0;
#if defined(__x86_64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__i386__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_ESP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.sp);
#else
    return 0;
#endif
}

void WriteRegisters(CDumpFile& file, const void* context) noexcept {
    SText<2048> text;
    text.Add("[registers]\n");
    const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    static const char* const kNames[] = {"r8",  "r9",  "r10",    "r11", "r12",    "r13",     "r14", "r15",
                                         "rdi", "rsi", "rbp",    "rbx", "rdx",    "rax",     "rcx", "rsp",
                                         "rip", "efl", "csgsfs", "err", "trapno", "oldmask", "cr2"};
    static_assert(sizeof kNames / sizeof kNames[0] == NGREG, "one name per general register");
    for (int i = 0; uc != nullptr && i < NGREG; ++i)
        text.Add(kNames[i])
            .Add(" ")
            .AddHex(static_cast<unsigned long long>(uc->uc_mcontext.gregs[i]), 16)
            .Add("\n");
#elif defined(__aarch64__)
    for (int i = 0; uc != nullptr && i < 31; ++i)
        text.Add("x").AddDecimal(i).Add(" ").AddHex(uc->uc_mcontext.regs[i], 16).Add("\n");
    if (uc != nullptr) {
        text.Add("sp ").AddHex(uc->uc_mcontext.sp, 16).Add("\n");
        text.Add("pc ").AddHex(uc->uc_mcontext.pc, 16).Add("\n");
        text.Add("pstate ").AddHex(uc->uc_mcontext.pstate, 16).Add("\n");
    }
#else
    (void)uc;
    text.Add("not recorded on this architecture\n");
#endif
    file.Write(text);
}

void WriteBacktrace(CDumpFile& file) noexcept {
    SText<32> title;
    file.Write(title.Add("[backtrace]\n"));
    void* frames[64];
    int count = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, count, file.Fd());
}

void WriteMaps(CDumpFile& file) noexcept {
    SText<64> title;
    file.Write(title.Add("[maps]\n"));
    CUniqueFd maps(::open("/proc/self/maps", O_RDONLY | O_CLOEXEC));
    if (maps.Get() < 0) {
        SText<64> note;
        file.Write(note.Add("unavailable (error ").AddDecimal(errno).Add(")\n"));
        return;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(maps.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (file.Write(buffer, static_cast<size_t>(n)) != static_cast<size_t>(n))
            break;
    }
}

// Writes the stack from the stack pointer upwards. After an overflow the
// stack pointer may lie below the mapped stack: unreadable pages there are
// skipped, and the dump starts at the first readable one.
void WriteStack(CDumpFile& file, uintptr_t stackPointer) noexcept {
    constexpr size_t kWanted = CCrashHandler::kDumpStackBytes;
    uintptr_t scanEnd = stackPointer + 2 * kWanted;
    if (scanEnd < stackPointer)
        scanEnd = UINTPTR_MAX;
    if (tThread.stackHigh > stackPointer && tThread.stackHigh < scanEnd)
        scanEnd = tThread.stackHigh;
    if (stackPointer == 0)
        scanEnd = 0;

    SText<32> title;
    file.Write(title.Add("[stack] address "));
    const off_t fieldsOffset = ::lseek(file.Fd(), 0, SEEK_CUR);
    SText<64> fields;
    fields.AddHex(0, 16).Add(" bytes ").AddDecimal(0, kStackCountDigits, '0').Add("\n");
    file.Write(fields);

    uintptr_t start = stackPointer;
    size_t written = 0;
    for (uintptr_t p = stackPointer; p < scanEnd && written < kWanted;) {
        uintptr_t next = std::min<uintptr_t>({(p / kPage + 1) * kPage, scanEnd, p + (kWanted - written)});
        size_t n = file.Write(reinterpret_cast<const void*>(p), next - p, true);
        if (n > 0 && written == 0)
            start = p;
        written += n;
        if (n != next - p && written > 0)
            break; // the mapping ends here
        p = next;
    }

    SText<64> actual;
    actual.AddHex(start, 16).Add(" bytes ").AddDecimal(static_cast<long long>(written), kStackCountDigits,
                                                       '0');
    if (fieldsOffset < 0 ||
        ::pwrite(file.Fd(), actual.data, actual.size, fieldsOffset) != static_cast<ssize_t>(actual.size))
        file.SetError(errno != 0 ? errno : EIO);
}

// Opens the dump file for writing; -1 with errno set on failure.
int OpenDumpFile() noexcept {
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    if (!gState.fallback)
        return ::open(gState.dumpPath, flags, 0600);
    if (::mkdir(gState.folder, 0700) != 0 && errno != EEXIST)
        return -1;
    CUniqueFd dir(::open(gState.folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.Get() < 0)
        return -1;
    struct stat st {};
    if (::fstat(dir.Get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        // Someone else's folder in the shared temporary folder: no dump there.
        errno = EACCES;
        return -1;
    }
    return ::openat(dir.Get(), CCrashHandler::kDumpFileName, flags, 0600);
}

// Writes the dump; returns 0 or the error number of the first failure.
int WriteDump(int fd, int signalNumber, const siginfo_t* info, const void* context, uint32_t code) noexcept {
    CDumpFile file(fd);
    SText<PATH_MAX + 512> header;
    header.Add("Vortlebox crash dump 1\n");
    header.Add("program: ").Add(gState.program).Add("\n");
    header.Add("pid: ").AddDecimal(::getpid()).Add("\n");
    header.Add("tid: ").AddDecimal(LogDetail::ThreadId()).Add("\n");
    header.Add("signal: ").AddDecimal(signalNumber).Add(" (").Add(SignalName(signalNumber)).Add(")\n");
    header.Add("si_code: ").AddDecimal(info->si_code).Add("\n");
    header.Add("fault address: ").AddHex(reinterpret_cast<uintptr_t>(info->si_addr), 16).Add("\n");
    header.Add("exception code: ").AddHex(code, 8).Add("\n");
    file.Write(header);
    WriteRegisters(file, context);
    WriteBacktrace(file);
    WriteMaps(file);
    WriteStack(file, StackPointer(context));
    return file.Error();
}

// Crash records go out without the log's lock: another thread may hold it.
void LogCrash(int line, const char* message) noexcept {
    CLogger::Instance().LogFromSignal(1, "Uncaught", line, message);
}

void RestoreDefault(int signalNumber) noexcept {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signalNumber, &action, nullptr);
}

// Records and dumps one crash of the calling thread. Returns whether the
// dump was saved; false when another thread is handling a crash already
// (alreadyHandled), or when the dump failed.
bool HandleCrash(int signalNumber, const siginfo_t* info, const void* context, bool& alreadyHandled) noexcept {
    const long self = LogDetail::ThreadId();
    long expected = 0;
    alreadyHandled = !gCrashingThread.compare_exchange_strong(expected, self);
    if (alreadyHandled) {
        // Another thread is already handling a crash and will end the
        // process; this one waits for that.
        if (expected != self) {
            for (;;)
                ::pause();
        }
        return false;
    }

    const bool fromKernel = info->si_code > 0;
    const bool overflow = signalNumber == SIGSEGV && fromKernel &&
                          CCrashHandler::IsStackOverflow(reinterpret_cast<uintptr_t>(info->si_addr),
                                                         StackPointer(context), tThread.stackLow);
    const uint32_t code = CCrashHandler::ExceptionCode(signalNumber, info->si_code, overflow);

    SText<1024> unhandled;
    LogCrash(__LINE__,
             unhandled.Add("Unhandled exception:\n  ").Add(CCrashHandler::Description(code)).Add("\n").data);
    if (gState.folderNote[0] != '\0')
        LogCrash(__LINE__, gState.folderNote);

    SText<PATH_MAX + 128> result;
    bool saved = false;
    CUniqueFd dump(OpenDumpFile());
    if (dump.Get() < 0) {
        int error = errno;
        result.Add("Failed to create dump file '")
            .Add(gState.dumpPath)
            .Add("' (error ")
            .AddDecimal(error)
            .Add(")");
    } else {
        int error = WriteDump(dump.Get(), signalNumber, info, context, code);
        // A close cut short by a signal has still released the descriptor.
        int closeError = dump.Reset() || errno == EINTR ? 0 : errno;
        if (error == 0)
            error = closeError;
        if (error == 0) {
            saved = true;
            result.Add("Saved dump file to '").Add(gState.dumpPath).Add("'");
        } else {
            result.Add("Failed to save dump file to '")
                .Add(gState.dumpPath)
                .Add("' (error ")
                .AddDecimal(error)
                .Add(")");
        }
    }
    LogCrash(__LINE__, result.data);
    return saved;
}

void OnFault(int signalNumber, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    bool alreadyHandled = false;
    if (HandleCrash(signalNumber, info, context, alreadyHandled))
        ::_exit(128 + signalNumber);
    // Let the default action follow, so that the system's core dump still
    // happens: a fault recurs when the handler returns; a sent signal or a
    // trap (which does not repeat) is raised again. A fault inside the
    // handler of this thread comes here too.
    RestoreDefault(signalNumber);
    if (alreadyHandled || info->si_code <= 0 || signalNumber == SIGTRAP)
        ::raise(signalNumber);
    errno = savedErrno;
}

// An exception nothing caught, or another way into std::terminate: recorded
// and dumped like a fault, as an exception of unknown type, and the process
// ends as abort() would end it.
[[noreturn]] void OnTerminate() noexcept {
    SText<1024> what;
    what.Add("std::terminate called: ");
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            what.Add("exception escaped: ").Add(e.what());
        } catch (...) {
            what.Add("exception of unknown kind escaped");
        }
    } else {
        what.Add("no exception");
    }
    LogCrash(__LINE__, what.Add("\n").data);

    siginfo_t info{};
    info.si_signo = SIGABRT;
    info.si_code = SI_USER;
    ucontext_t context{};
    ::getcontext(&context);
    bool alreadyHandled = false;
    if (HandleCrash(SIGABRT, &info, &context, alreadyHandled))
        ::_exit(128 + SIGABRT);
    RestoreDefault(SIGABRT);
    std::abort();
}

void CopyInto(char* target, size_t size, const std::string& text) {
    std::snprintf(target, size, "%s", text.c_str());
}

} // namespace

void CCrashHandler::Install(const std::string& userDir) {
    const std::string suffix = std::string("/") + kDumpFileName;
    const auto fits = [&](const std::string& folder) { return folder.size() + suffix.size() < PATH_MAX; };
    std::string folder = userDir;
    const char* reason = nullptr;
    if (folder.empty())
        reason = "Couldn't get user dir, will use ";
    else if (!fits(folder))
        reason = "User dir too long, will use ";
    std::string note;
    if (reason != nullptr) {
        folder = FallbackFolder();
        if (!fits(folder))
            folder = "/tmp/vb";
        note = reason + folder + "\n";
    }
    const bool fallback = reason != nullptr;

    CopyInto(gState.folder, sizeof gState.folder, folder);
    CopyInto(gState.dumpPath, sizeof gState.dumpPath, folder + suffix);
    CopyInto(gState.folderNote, sizeof gState.folderNote, note);
    gState.fallback = fallback;
    ssize_t n = ::readlink("/proc/self/exe", gState.program, sizeof gState.program - 1);
    gState.program[n > 0 ? n : 0] = '\0';

    // The first backtrace loads the unwinder; a crash must not be the first.
    void* frames[4];
    ::backtrace(frames, 4);

    InstallForThisThread();

    struct sigaction action {};
    action.sa_sigaction = OnFault;
    // Not reset on delivery: a second thread that faults while the dump is
    // written must wait for it (HandleCrash), not end the process at once.
    // The fault signals stay blocked while the handler runs, so a fault
    // inside the handler itself ends the process by default action.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : kSignals)
        sigaddset(&action.sa_mask, signalNumber);
    for (int signalNumber : kSignals)
        ::sigaction(signalNumber, &action, nullptr);
    std::set_terminate(OnTerminate);
}

std::thread CCrashHandler::StartThread(std::function<void()> body, long* threadId) {
    auto published = std::make_shared<std::promise<long>>();
    std::future<long> id = published->get_future();
    std::thread thread([body = std::move(body), published]() mutable {
        // First of all, so that a starter that waits for the id while it
        // holds a lock (the log's) never waits for a record of this thread.
        published->set_value(LogDetail::ThreadId());
        published.reset();
        if (!InstallForThisThread())
            VBX_LOG(1, "Couldn't set up the alternate signal stack of this thread; a stack overflow here "
                       "is not recorded.\n");
        body();
    });
    if (threadId != nullptr)
        *threadId = id.get();
    return thread;
}

bool CCrashHandler::InstallForThisThread() noexcept {
    if (tThread.mapping != nullptr)
        return true;
    size_t size = kAltStackSize;
    long wanted = ::sysconf(_SC_SIGSTKSZ);
    if (wanted > 0 && static_cast<size_t>(wanted) > size)
        size = static_cast<size_t>(wanted);
    size = (size + kPage - 1) / kPage * kPage;
    // One inaccessible page below the stack, so that a handler that runs out
    // of it faults instead of overwriting other memory.
    const size_t mappingSize = size + kPage;
    void* mapping = ::mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return false;
    ::mprotect(mapping, kPage, PROT_NONE);
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(mapping) + kPage;
    stack.ss_size = size;
    if (::sigaltstack(&stack, nullptr) != 0) {
        ::munmap(mapping, mappingSize);
        return false;
    }
    tThread.mapping = mapping;
    tThread.mappingSize = mappingSize;
    tThread.altStack = stack.ss_sp;

    pthread_attr_t attr;
    if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
        void* low = nullptr;
        size_t stackSize = 0;
        if (::pthread_attr_getstack(&attr, &low, &stackSize) == 0) {
            tThread.stackLow = reinterpret_cast<uintptr_t>(low);
            tThread.stackHigh = tThread.stackLow + stackSize;
        }
        ::pthread_attr_destroy(&attr);
    }
    tRelease.armed = true;
    return true;
}

std::string CCrashHandler::FallbackFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    if (folder.back() != '/')
        folder += '/';
    return folder + "vb";
}

uint32_t CCrashHandler::ExceptionCode(int signalNumber, int signalCode, bool stackOverflow) noexcept {
    switch (signalNumber) {
    case SIGSEGV:
        return stackOverflow ? 0xC00000FD : 0xC0000005;
    case SIGBUS:
        return signalCode == BUS_ADRALN ? 0x80000002 : 0xC0000006;
    case SIGFPE:
        switch (signalCode) {
        case FPE_INTDIV:
            return 0xC0000094;
        case FPE_INTOVF:
            return 0xC0000095;
        case FPE_FLTDIV:
            return 0xC000008E;
        case FPE_FLTOVF:
            return 0xC0000091;
        case FPE_FLTUND:
            return 0xC0000093;
        case FPE_FLTRES:
            return 0xC000008F;
        case FPE_FLTINV:
            return 0xC0000090;
        case FPE_FLTSUB:
            return 0xC000008C;
        default:
            return kUnknownCode;
        }
    case SIGILL:
        return signalCode == ILL_PRVOPC || signalCode == ILL_PRVREG ? 0xC0000096 : 0xC000001D;
    case SIGTRAP:
        // x86 reports its breakpoint instruction as SI_KERNEL.
        if (signalCode == TRAP_BRKPT || signalCode == SI_KERNEL)
            return 0x80000003;
        if (signalCode == TRAP_TRACE)
            return 0x80000004;
        return kUnknownCode;
    default:
        return kUnknownCode;
    }
}

const char* CCrashHandler::Description(uint32_t code) noexcept {
    for (const SDescription& entry : kDescriptions) {
        if (entry.code == code)
            return entry.text;
    }
    return kUnknownDescription;
}

bool CCrashHandler::IsStackOverflow(uintptr_t faultAddress, uintptr_t stackPointer,
                                    uintptr_t stackLow) noexcept {
    if (stackPointer != 0) {
        uintptr_t from = stackPointer > kBelowStackPointer ? stackPointer - kBelowStackPointer : 0;
        if (faultAddress >= from && faultAddress < stackPointer + kPage)
            return true;
    }
    if (stackLow != 0) {
        uintptr_t from = stackLow > kStackGuardArea ? stackLow - kStackGuardArea : 0;
        if (faultAddress >= from && faultAddress < stackLow + kPage)
            return true;
    }
    return false;
}
