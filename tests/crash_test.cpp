#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/child.h"
#include "vorna/log.h"

namespace {

using testing_support::readFile;
using testing_support::runInChild;

const int kCrashStatus = 255;
const char kTraceStart[] = "Stack trace (non-dedicated):\n";
const char kTraceEnd[] = "End of stack trace\n";

// A real fault rather than something the sanitizers would report first; the volatile pointer keeps the
// compiler from dropping the store or turning it into a trap instruction. The crash tests look for this
// function by name; its address comes from the report alone.
__attribute__((noinline, no_sanitize("address", "undefined"))) void crashInKnownFunction(
    volatile int* volatile target) {
    *target = 7;
}

// Reading a page of a file mapped beyond the file's end raises a real SIGBUS.
__attribute__((noinline, no_sanitize("address", "undefined"))) void readBeyondMappedFile() {
    FILE* file = tmpfile();
    void* page = file != nullptr ? mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fileno(file), 0) : MAP_FAILED;
    if (page == MAP_FAILED)
        _exit(3);
    const volatile char* volatile bytes = static_cast<const char*>(page);
    (void)bytes[0];
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

TEST(CrashDurability, EveryLineLoggedBeforeACrashReachesTheFileAndStandardOutput) {
    const std::pair<const char*, void (*)()> crashes[] = {
        {"null write", [] { crashInKnownFunction(nullptr); }},
        {"abort", abort},
        {"SIGBUS", readBeyondMappedFile}};
    const std::string logPath = testing::TempDir() + testing_support::uniqueName("crash.log");
    const std::string outPath = testing::TempDir() + testing_support::uniqueName("crash.out");
    for (bool logFile : {false, true}) {
        for (const auto& crash : crashes) {
            for (bool outToFile : {false, true}) {
                for (int lines : {1, 10, 10000}) {
                    const testing_support::ChildResult child = runInChild([&] {
                        if (outToFile) {
                            const int fd =
                                open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
                                _exit(4);
                        }
                        if (signal_proc_init() != 0)
                            _exit(1);
                        if (logFile)
                            LogInit(logPath.c_str());
                        for (int i = 0; i < lines; ++i)
                            LogPrint("<1>[   vorna  ][%s %s %s %d] INF: ", "", "src/App", "work", i,
                                     "line %d\n", i);
                        crash.second();
                        _exit(2);
                    });
                    const std::string name = std::string(logFile ? "log file, " : "console, ") + crash.first +
                                             (outToFile ? ", output to a file, " : ", output to a pipe, ") +
                                             std::to_string(lines) + " lines";
                    std::string shown;
                    std::string stored;
                    for (int i = 0; i < lines; ++i) {
                        const std::string line = "[   vorna  ][ src/App work " + std::to_string(i) +
                                                 "] INF: line " + std::to_string(i) + "\n";
                        shown += line;
                        stored += "<1>" + line;
                    }
                    EXPECT_EQ(kCrashStatus, child.status) << name << "\n" << child.err;
                    EXPECT_TRUE(shown == (outToFile ? readFile(outPath) : child.out))
                        << name << ": output differs";
                    EXPECT_TRUE(!logFile || stored == readFile(logPath)) << name << ": the log file differs";
                }
            }
        }
    }
    unlink(logPath.c_str());
    unlink(outPath.c_str());
}

// ---- The crash report's details ----

std::string runCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[1024];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

// The line that `label` starts in the crash details, and the symbolizer's line under it.
std::string detailLine(const std::string& report, const std::string& label) {
    const size_t at = report.find("\n" + label + " = ", report.find("Crash details:\n"));
    if (at == std::string::npos)
        return "";
    const size_t end = report.find('\n', report.find('\n', at + 1) + 1);
    return report.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

TEST(CrashHandler, ReportsTheSignalTheTraceAndTheDetailsAndExitsWith255) {
    const struct {
        const char* name;
        void (*crash)();
        std::string head;
    } cases[] = {
        {"null write", [] { crashInKnownFunction(nullptr); },
         "Segmentation Fault!\ninfo.si_signo = " + std::to_string(SIGSEGV) +
             "\ninfo.si_errno = 0\ninfo.si_code  = 1 (SEGV_MAPERR)\ninfo.si_addr  = " + pointerText(nullptr) +
             "\n" + kTraceStart},
        // A signal sent to oneself is delivered before kill() returns.
        {"kill", [] { kill(getpid(), SIGINT); },
         "Segmentation Fault!\ninfo.si_signo = " + std::to_string(SIGINT) +
             "\ninfo.si_errno = 0\ninfo.si_code  = 0 ()\ninfo.si_addr  = "},
    };
#if defined(__arm__)
    const char* const registers[] = {"pc", "lr", "sp"};
#else
    const char* const registers[] = {"ip", "sp"};
#endif
    for (const auto& c : cases) {
        const testing_support::ChildResult child = runInChild([&] {
            if (signal_proc_init() != 0)
                _exit(1);
            prctl(PR_SET_NAME, "crasher", 0, 0, 0);
            printf("%d\n", static_cast<int>(getpid()));
            fflush(stdout);
            c.crash();
            _exit(2);
        });
        ASSERT_EQ(kCrashStatus, child.status) << c.name << "\n" << child.err;
        EXPECT_EQ(c.head, child.err.substr(0, c.head.size())) << c.name;
        const int frames = frameLineCount(child.err);
        EXPECT_TRUE(frames >= 1 && frames <= 20) << c.name << ": " << frames << " frame lines in\n"
                                                 << child.err;
        const std::string pid = child.out.substr(0, child.out.find('\n'));
        EXPECT_EQ(pid + "\n", child.out) << c.name;
        const size_t details =
            child.err.find(std::string(kTraceEnd) + "Crash details:\npid = " + pid + "\nthread = ");
        ASSERT_NE(std::string::npos, details) << c.name << "\n" << child.err;
        EXPECT_NE(std::string::npos, child.err.find(" (crasher)\n", details)) << child.err;
        EXPECT_TRUE(endsWith(child.err, "End of crash details\n")) << child.err;
        for (const char* name : registers)
            EXPECT_NE("", detailLine(child.err, name)) << "no " << name << " line in\n" << child.err;
        if (c.crash != cases[0].crash)
            continue;
        const std::string reportPath = testing::TempDir() + testing_support::uniqueName("crash.report");
        std::ofstream(reportPath) << child.err;
        const std::string symbolized = runCommand(std::string(VORNA_SYMBOLIZE) + " " + reportPath + " 2>&1");
        unlink(reportPath.c_str());
        // Where it crashed, from the signal's context; and the frames, unwound past the signal, find it too.
        const std::string pc = detailLine(symbolized, registers[0]);
        EXPECT_NE(std::string::npos, pc.find("crashInKnownFunction")) << symbolized;
        EXPECT_NE(std::string::npos, pc.find("crash_test.cpp:")) << symbolized;
        bool inFrames = false;
        for (int i = 0; i < 20 && !inFrames; ++i)
            inFrames = detailLine(symbolized, "frame #" + std::to_string(i)).find("crashInKnownFunction") !=
                       std::string::npos;
        EXPECT_TRUE(inFrames) << symbolized;
    }
}

}  // namespace
