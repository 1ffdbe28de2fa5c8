#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/child.h"
#include "vorna/log.h"

namespace {

using testing_support::runInChild;

const int kCrashStatus = 255;
const char kTraceStart[] = "Stack trace (non-dedicated):\n";
const char kTraceEnd[] = "End of stack trace\n";

// A real fault rather than something the sanitizers would report first; the volatile pointer keeps the
// compiler from dropping the store or turning it into a trap instruction.
__attribute__((noinline, no_sanitize("address", "undefined"))) void writeThroughNullPointer() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

std::string pointerText(const void* address) {
    char text[32];
    snprintf(text, sizeof(text), "%p", address);
    return text;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The lines between the trace's first and last line, or -1 when either is missing.
int frameLineCount(const std::string& report) {
    const size_t start = report.find(kTraceStart);
    const size_t end = report.rfind(kTraceEnd);
    if (start == std::string::npos || end == std::string::npos || end < start)
        return -1;
    int lines = 0;
    for (size_t i = start + strlen(kTraceStart); i < end; ++i)
        lines += report[i] == '\n';
    return lines;
}

TEST(CrashHandler, ANullPointerWriteReportsTheFaultAndExitsWith255) {
    const testing_support::ChildResult child = runInChild([] {
        if (signal_proc_init() != 0)
            _exit(1);
        writeThroughNullPointer();
    });

    EXPECT_EQ(kCrashStatus, child.status);
    const std::string expectedHead = std::string("Segmentation Fault!\n") +
                                     "info.si_signo = " + std::to_string(SIGSEGV) + "\n" +
                                     "info.si_errno = 0\n"
                                     "info.si_code  = 1 (SEGV_MAPERR)\n"
                                     "info.si_addr  = " +
                                     pointerText(nullptr) + "\n" + kTraceStart;
    EXPECT_EQ(expectedHead, child.err.substr(0, expectedHead.size()));
    EXPECT_TRUE(endsWith(child.err, kTraceEnd)) << child.err;
    const int frames = frameLineCount(child.err);
    EXPECT_GE(frames, 1) << "no frame lines in\n" << child.err;
    EXPECT_LE(frames, 20) << child.err;
    EXPECT_EQ("", child.out);
}

TEST(CrashHandler, AnInterruptSentWithKillReportsCodeZeroWithAnEmptyName) {
    const testing_support::ChildResult child = runInChild([] {
        if (signal_proc_init() != 0)
            _exit(1);
        kill(getpid(), SIGINT);
        // A signal sent to oneself is delivered before kill() returns; getting here means it was lost.
        _exit(2);
    });

    EXPECT_EQ(kCrashStatus, child.status);
    const std::string expectedHead = std::string("Segmentation Fault!\n") +
                                     "info.si_signo = " + std::to_string(SIGINT) + "\n" +
                                     "info.si_errno = 0\n"
                                     "info.si_code  = 0 ()\n"
                                     "info.si_addr  = ";
    EXPECT_EQ(expectedHead, child.err.substr(0, expectedHead.size()));
    EXPECT_NE(std::string::npos, child.err.find(kTraceStart)) << child.err;
    EXPECT_TRUE(endsWith(child.err, kTraceEnd)) << child.err;
}

TEST(CrashHandler, AWriteToAClosedSocketFailsWithEpipeInsteadOfEndingTheProcess) {
    const testing_support::ChildResult child = runInChild([] {
        // The test runner may have passed SIGPIPE down ignored already; start from the default.
        signal(SIGPIPE, SIG_DFL);
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            _exit(1);
        printf("init %d\n", signal_proc_init());
        close(pair[1]);
        const ssize_t written = write(pair[0], "x", 1);
        printf("write %zd %s\n", written, written < 0 && errno == EPIPE ? "EPIPE" : strerror(errno));
    });

    EXPECT_EQ(0, child.status) << "the child ended with " << child.status << ", stderr: " << child.err;
    EXPECT_EQ("init 0\nwrite -1 EPIPE\n", child.out);
}

}  // namespace
