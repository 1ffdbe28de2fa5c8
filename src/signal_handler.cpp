#include <execinfo.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "vorna/log.h"

// Everything the handler runs is async-signal-safe: it formats into a buffer on its own stack and
// writes with write() and backtrace_symbols_fd(). A crash may strike inside malloc or while a stdio lock
// is held, where fprintf or malloc would deadlock or crash again.

namespace {

const int kMaxFrames = 20;
const int kExitStatus = 255;

const char* const kSignalCodeNames[] = {"", "SEGV_MAPERR", "SEGV_ACCERR"};

// The thread writing the report, 0 while none is. Another thread that crashes meanwhile waits for the
// report to end the process, so that two reports never interleave; the reporting thread itself, hit by
// a second signal (the mask is left empty), ends the process at once rather than wait on itself.
std::atomic<pid_t> gReportingThread{0};

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

    void writeTo(int fd) const {
        size_t done = 0;
        while (done < mLength) {
            const ssize_t n = write(fd, mBuffer + done, mLength - done);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

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

    char mBuffer[96];
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

void writeStackTrace() {
    writeText("Stack trace (non-dedicated):\n");
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    // Writes each frame as its own line, innermost first, without allocating.
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
    writeText("End of stack trace\n");
}

void reportCrash(int signo, siginfo_t* info, void* /*context*/) {
    const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
    pid_t none = 0;
    if (!gReportingThread.compare_exchange_strong(none, self)) {
        if (none == self)
            _exit(kExitStatus);
        for (;;)
            pause();
    }
    writeText("Segmentation Fault!\n");
    writeSignalDetails(signo, info);
    writeStackTrace();
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
