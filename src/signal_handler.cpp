#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>

#include "internal/log.h"
#include "vorna/log.h"

// Everything the handler runs is async-signal-safe: it formats into a buffer on its own stack and
// writes with write() and backtrace_symbols_fd(), and finds modules by reading /proc/self/maps and the
// ELF headers already in memory. A crash may strike inside malloc or while a stdio or loader lock is
// held, where fprintf, malloc or dladdr would deadlock or crash again.

namespace {

const int kMaxFrames = 20;
const int kExitStatus = 255;

const char* const kSignalCodeNames[] = {"", "SEGV_MAPERR", "SEGV_ACCERR"};

// The thread writing the report, 0 while none is. Another thread that crashes meanwhile waits for the
// report to end the process, so that two reports never interleave; the reporting thread itself, hit by
// a second signal, skips the step that faulted (see gStepJump) or, outside a step, ends the process.
std::atomic<pid_t> gReportingThread{0};

// Where the reporting thread goes on when a step of the report faults: the unwinder behind backtrace()
// can itself fault on a stack the crash left in disorder (it does on ARM, in a function's epilogue), and
// the rest of the report and the exit status still matter. Only the reporting thread touches these.
sigjmp_buf gStepJump;
volatile sig_atomic_t gInStep;

// A line of the report, built on the stack without allocating.
class ReportLine {
  public:
    ReportLine& text(const char* s) {
        while (*s != '\0' && mLength < sizeof(mBuffer))
            mBuffer[mLength++] = *s++;
        return *this;
    }

    ReportLine& decimal(int value) {
        // Widened first: negating INT_MIN as an int overflows.
        long long magnitude = value;
        if (magnitude < 0) {
            text("-");
            magnitude = -magnitude;
        }
        return digits(static_cast<unsigned long long>(magnitude), 10);
    }

    // The text printf's "%p" gives with the C library: "(nil)" for null, else "0x" and lower-case hex.
    ReportLine& pointer(const void* address) {
        if (address == NULL)
            return text("(nil)");
        text("0x");
        return digits(reinterpret_cast<uintptr_t>(address), 16);
    }

    void writeTo(int fd) const { vorna::writeAll(fd, mBuffer, mLength); }

  private:
    ReportLine& digits(unsigned long long value, unsigned base) {
        char reversed[24];
        size_t count = 0;
        do {
            reversed[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        while (count > 0 && mLength < sizeof(mBuffer))
            mBuffer[mLength++] = reversed[--count];
        return *this;
    }

    // Room for a module path and its offset.
    char mBuffer[512];
    size_t mLength = 0;
};

void writeText(const char* s) {
    ReportLine().text(s).writeTo(STDERR_FILENO);
}

// The table has names for codes 0 to 2 only; any other code prints an empty name.
const char* signalCodeName(int code) {
    const int count = static_cast<int>(sizeof(kSignalCodeNames) / sizeof(kSignalCodeNames[0]));
    return code >= 0 && code < count ? kSignalCodeNames[code] : "";
}

void writeSignalDetails(int signo, const siginfo_t* info) {
    ReportLine().text("info.si_signo = ").decimal(signo).text("\n").writeTo(STDERR_FILENO);
    ReportLine().text("info.si_errno = ").decimal(info->si_errno).text("\n").writeTo(STDERR_FILENO);
    ReportLine()
        .text("info.si_code  = ")
        .decimal(info->si_code)
        .text(" (")
        .text(signalCodeName(info->si_code))
        .text(")\n")
        .writeTo(STDERR_FILENO);
    ReportLine().text("info.si_addr  = ").pointer(info->si_addr).text("\n").writeTo(STDERR_FILENO);
}

void writeStackTrace(void* const* frames, int count) {
    writeText("Stack trace (non-dedicated):\n");
    // Writes each frame as its own line, innermost first, without allocating.
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
    writeText("End of stack trace\n");
}

// ---- Modules: which file an address belongs to, and its address as the file's symbols give it ----

// Lines of /proc/self/maps, read with read() into a buffer on the stack.
class MapsReader {
  public:
    MapsReader() : mFd(open("/proc/self/maps", O_RDONLY | O_CLOEXEC)) {}
    ~MapsReader() {
        if (mFd >= 0)
            close(mFd);
    }
    MapsReader(const MapsReader&) = delete;
    MapsReader& operator=(const MapsReader&) = delete;

    // The next line without its newline, cut to `size` - 1 characters; false at the end.
    bool next(char* line, size_t size) {
        size_t length = 0;
        bool any = false;
        for (;;) {
            if (mPosition == mLength && !refill())
                break;
            const char c = mBuffer[mPosition++];
            any = true;
            if (c == '\n')
                break;
            if (length + 1 < size)
                line[length++] = c;
        }
        line[length] = '\0';
        return any;
    }

  private:
    bool refill() {
        const ssize_t n = mFd >= 0 ? read(mFd, mBuffer, sizeof(mBuffer)) : -1;
        mLength = n > 0 ? static_cast<size_t>(n) : 0;
        mPosition = 0;
        return n > 0;
    }

    int mFd;
    char mBuffer[1024];
    size_t mLength = 0;
    size_t mPosition = 0;
};

struct Mapping {
    uintptr_t start;
    uintptr_t end;
    uintptr_t offset;
    bool readable;
    const char* path;  // points into the parsed line; "" for anonymous memory
};

uintptr_t parseHex(const char** text) {
    uintptr_t value = 0;
    for (;; ++*text) {
        const char c = **text;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            return value;
        value = value * 16 + static_cast<uintptr_t>(digit);
    }
}

const char* skipField(const char* text) {
    while (*text != '\0' && *text != ' ')
        ++text;
    while (*text == ' ')
        ++text;
    return text;
}

// "start-end perms offset dev inode   path"
Mapping parseMapping(const char* line) {
    Mapping mapping;
    mapping.start = parseHex(&line);
    ++line;
    mapping.end = parseHex(&line);
    line = skipField(line);
    mapping.readable = *line == 'r';
    line = skipField(line);
    mapping.offset = parseHex(&line);
    line = skipField(skipField(skipField(line)));
    mapping.path = line;
    return mapping;
}

// The difference between where the file is loaded and the addresses its symbols give, from the ELF
// headers mapped at `start` (the file's first page): 0 for a fixed-address executable, `start` for a
// shared library or a position-independent executable.
uintptr_t loadBias(uintptr_t start, bool readable) {
    if (!readable)
        return start;
    const ElfW(Ehdr)* header = reinterpret_cast<const ElfW(Ehdr)*>(start);
    if (memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_phoff + header->e_phnum * sizeof(ElfW(Phdr)) > 4096)
        return start;
    const ElfW(Phdr)* segments = reinterpret_cast<const ElfW(Phdr)*>(start + header->e_phoff);
    for (int i = 0; i < header->e_phnum; ++i) {
        if (segments[i].p_type == PT_LOAD)
            return start - static_cast<uintptr_t>(segments[i].p_vaddr - segments[i].p_offset);
    }
    return start;
}

// Appends " (module+0xoffset)" for an address inside a mapped file, nothing for other memory.
void appendModule(ReportLine* line, uintptr_t address) {
    MapsReader maps;
    char text[384];
    // The file's first mapping holds its headers; later mappings of the same file follow it.
    char firstPath[384] = "";
    uintptr_t firstStart = 0;
    bool firstReadable = false;
    while (maps.next(text, sizeof(text))) {
        const Mapping mapping = parseMapping(text);
        if (mapping.offset == 0 && mapping.path[0] == '/') {
            strcpy(firstPath, mapping.path);
            firstStart = mapping.start;
            firstReadable = mapping.readable;
        }
        if (address < mapping.start || address >= mapping.end)
            continue;
        if (mapping.path[0] != '/' || strcmp(firstPath, mapping.path) != 0)
            return;
        line->text(" (").text(mapping.path).text("+");
        line->pointer(reinterpret_cast<void*>(address - loadBias(firstStart, firstReadable))).text(")");
        return;
    }
}

// `line` holds the address's label.
void writeAddress(ReportLine line, uintptr_t address) {
    line.text(" = ").pointer(reinterpret_cast<void*>(address));
    appendModule(&line, address);
    line.text("\n").writeTo(STDERR_FILENO);
}

void writeRegisters(const void* context) {
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
#if defined(__arm__)
    writeAddress(ReportLine().text("pc"), uc->uc_mcontext.arm_pc);
    writeAddress(ReportLine().text("lr"), uc->uc_mcontext.arm_lr);
    writeAddress(ReportLine().text("sp"), uc->uc_mcontext.arm_sp);
#elif defined(__aarch64__)
    writeAddress(ReportLine().text("pc"), uc->uc_mcontext.pc);
    writeAddress(ReportLine().text("lr"), uc->uc_mcontext.regs[30]);
    writeAddress(ReportLine().text("sp"), uc->uc_mcontext.sp);
#elif defined(__x86_64__)
    writeAddress(ReportLine().text("ip"), static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]));
    writeAddress(ReportLine().text("sp"), static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]));
#else
    (void)uc;
#endif
}

// What the fixed report leaves out: who crashed, where, and for every address the module and offset that
// addr2line (and tools/vorna-symbolize) resolves on a development machine.
void writeCrashDetails(const void* context, void* const* frames, int count) {
    writeText("Crash details:\n");
    ReportLine().text("pid = ").decimal(getpid()).text("\n").writeTo(STDERR_FILENO);
    char name[17] = "";
    prctl(PR_GET_NAME, name, 0, 0, 0);
    ReportLine()
        .text("thread = ")
        .decimal(static_cast<int>(syscall(SYS_gettid)))
        .text(" (")
        .text(name)
        .text(")\n")
        .writeTo(STDERR_FILENO);
    if (context != NULL)
        writeRegisters(context);
    for (int i = 0; i < count; ++i)
        writeAddress(ReportLine().text("frame #").decimal(i), reinterpret_cast<uintptr_t>(frames[i]));
    writeText("End of crash details\n");
}

// The return addresses of the crashed thread, or none when unwinding faults.
int captureFrames(void** frames) {
    volatile int captured = 0;
    // Saving the mask brings back the unblocked signal after a jump out of the nested handler.
    if (sigsetjmp(gStepJump, 1) == 0) {
        gInStep = 1;
        captured = backtrace(frames, kMaxFrames);
    }
    gInStep = 0;
    return captured;
}

void reportCrash(int signo, siginfo_t* info, void* context) {
    const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
    pid_t none = 0;
    if (!gReportingThread.compare_exchange_strong(none, self)) {
        if (none == self && gInStep)
            siglongjmp(gStepJump, 1);
        if (none == self)
            _exit(kExitStatus);
        for (;;)
            pause();
    }
    // A fault inside the report must reach this handler again rather than kill the process.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, signo);
    pthread_sigmask(SIG_UNBLOCK, &handled, NULL);

    // The lines logged before the crash explain it: they go out first.
    logFlushAfterCrash();
    writeText("Segmentation Fault!\n");
    writeSignalDetails(signo, info);
    void* frames[kMaxFrames];
    const int count = captureFrames(frames);
    writeStackTrace(frames, count);
    writeCrashDetails(context, frames, count);
    // _exit, not exit: atexit handlers, static destructors and stdio flushing would run on state the
    // crash may have left half-changed (a held stdio or allocator lock would hang the process for good),
    // while other threads keep using the objects being destroyed.
    _exit(kExitStatus);
}

struct HandledSignal {
    int number;
    const char* name;
};

const HandledSignal kHandledSignals[] = {
    {SIGSEGV, "SIGSEGV"}, {SIGINT, "SIGINT"}, {SIGQUIT, "SIGQUIT"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},
};

}  // namespace

int signal_proc_init() {
    // The first backtrace() loads the unwinder with dlopen, which allocates: do it now, not in the
    // handler.
    void* warmUp[1];
    backtrace(warmUp, 1);

    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = reportCrash;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (const HandledSignal& handled : kHandledSignals) {
        if (sigaction(handled.number, &action, NULL) != 0) {
            perror(handled.name);
            return -1;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    return 0;
}
