#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/probes.h"
#include "vorna/log.h"

namespace {

using namespace testing_support;

const char kInf[] = "<1>[   vorna  ][%s %s %s %d] INF: ";

// A real fault rather than something the sanitizers would report first; the volatile pointer keeps the
// compiler from dropping the store or turning it into a trap instruction. The report test looks for this
// function by name; its address comes from the report alone.
__attribute__((noinline, no_sanitize("address", "undefined"))) void crashInKnownFunction(
    volatile int* volatile target) {
    *target = 7;
}

using Crash = void (*)();
const Crash writeToNull = [] { crashInKnownFunction(nullptr); };

// Reading a page of a file mapped beyond the file's end raises a real SIGBUS.
__attribute__((noinline, no_sanitize("address", "undefined"))) void readBeyondMappedFile() {
    FILE* file = tmpfile();
    void* page = file != nullptr ? mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fileno(file), 0) : MAP_FAILED;
    if (page == MAP_FAILED)
        _exit(3);
    const volatile char* volatile bytes = static_cast<const char*>(page);
    (void)bytes[0];
}

// Installs the crash handler; false unless that succeeds and leaves a write to a closed socket failing with
// EPIPE instead of ending the process.
bool initAndWriteToAClosedSocket() {
    // The test runner may have passed SIGPIPE down ignored already; start from the default.
    signal(SIGPIPE, SIG_DFL);
    int pair[2];
    if (signal_proc_init() != 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    close(pair[1]);
    const bool failed = write(pair[0], "x", 1) == -1 && errno == EPIPE;
    close(pair[0]);
    return failed;
}

// What `count` lines of the application show on the console (no marker) or keep in the log file ("<1>").
std::string appLines(int count, const std::string& marker) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += marker + "[   vorna  ][ src/App work " + std::to_string(i) + "] INF: line " +
                std::to_string(i) + "\n";
    return text;
}

// Whether the lines still sit in a stdio buffer or the echo has yet to copy them, a crash must not lose them.
TEST(CrashDurability, EveryLineLoggedBeforeACrashReachesTheFileAndStandardOutput) {
    const std::string logPath = testing::TempDir() + uniqueName("crash.log");
    const std::string outPath = testing::TempDir() + uniqueName("crash.out");
    for (Crash crash : {writeToNull, Crash(abort), readBeyondMappedFile}) {
        // Bit 0 of the variant: a log file; bit 1: standard output to a file.
        for (int variant = 0; variant < 4; ++variant) {
            const bool logFile = variant & 1, outToFile = variant & 2;
            for (int lines : {1, 10, 10000}) {
                SCOPED_TRACE(testing::Message() << (crash == abort ? "abort" : "fault") << " log file "
                                                << logFile << " out to file " << outToFile << " " << lines);
                const ChildResult child = runInChild([&] {
                    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                    if ((outToFile && dup2(out, STDOUT_FILENO) < 0) || signal_proc_init() != 0)
                        _exit(4);
                    if (logFile)
                        LogInit(logPath.c_str());
                    for (int i = 0; i < lines; ++i)
                        LogPrint(kInf, "", "src/App", "work", i, "line %d\n", i);
                    crash();
                    _exit(2);
                });
                EXPECT_EQ(255, child.status) << child.err;
                EXPECT_TRUE(appLines(lines, "") == (outToFile ? readFile(outPath) : child.out));
                EXPECT_TRUE(!logFile || appLines(lines, "<1>") == readFile(logPath));
            }
        }
    }
    unlink(logPath.c_str());
    unlink(outPath.c_str());
}

// Beforehand, the handler leaves SIGPIPE to fail writes instead.
TEST(CrashHandler, ReportsTheSignalTheTraceAndTheDetailsAndExitsWith255) {
    char nullText[32];
    snprintf(nullText, sizeof(nullText), "%p", static_cast<void*>(nullptr));
    const struct {
        Crash crash;
        int signal;
        std::string codeAndAddress;
        bool onAnotherThread;
    } cases[] = {
        {writeToNull, SIGSEGV, std::string("1 (SEGV_MAPERR)\ninfo.si_addr  = ") + nullText, false},
        // A signal sent to oneself is delivered before kill() returns.
        {[] { kill(getpid(), SIGINT); }, SIGINT, "0 ()\ninfo.si_addr  = ", false},
        // abort() sends the signal to its own thread: SI_TKILL.
        {abort, SIGABRT, "-6 ()\ninfo.si_addr  = ", true},
    };
#if defined(__arm__) || defined(__aarch64__)
    const char registers[] = "pc = [^\n]+\nlr = [^\n]+\nsp = [^\n]+\n";
#else
    const char registers[] = "ip = [^\n]+\nsp = [^\n]+\n";
#endif
    for (const auto& c : cases) {
        const std::string head = "Segmentation Fault!\ninfo.si_signo = " + std::to_string(c.signal) +
                                 "\ninfo.si_errno = 0\ninfo.si_code  = " + c.codeAndAddress;
        SCOPED_TRACE(head);
        const ChildResult child = runInChild([&] {
            if (!initAndWriteToAClosedSocket())
                _exit(1);
            const auto crashHere = [&] {
                prctl(PR_SET_NAME, "crasher", 0, 0, 0);
                printf("%d\n%d\n", static_cast<int>(getpid()), static_cast<int>(currentTid()));
                fflush(stdout);
                c.crash();
            };
            if (c.onAnotherThread)
                std::thread(crashHere).join();
            else
                crashHere();
            _exit(2);
        });
        ASSERT_EQ(255, child.status) << child.err;
        EXPECT_EQ(head, child.err.substr(0, head.size()));
        // At most 20 frames, then the details: the process, the crashing thread by name, the registers of the
        // signal's context and the frames again as addresses the symbolizer resolves.
        const std::string shape =
            "[^\n]*\nStack trace \\(non-dedicated\\):\n([^\n]+\n){1,20}End of stack trace\n"
            "Crash details:\npid = " +
            std::regex_replace(child.out, std::regex("\n(.*)\n"), "\nthread = $1 \\(crasher\\)\n") +
            registers + "(frame #[0-9]+ = [^\n]+\n){1,20}End of crash details\n";
        EXPECT_TRUE(std::regex_match(child.err.substr(head.size()), std::regex(shape))) << child.err;
        if (c.crash != writeToNull)
            continue;
        const std::string report = testing::TempDir() + uniqueName("crash.report"),
                          symbolized = report + ".out";
        std::ofstream(report) << child.err;
        EXPECT_EQ(0, system((VORNA_SYMBOLIZE " " + report + " >" + symbolized + " 2>&1").c_str()));
        // Where it crashed, from the signal's context; and the frames, unwound past the signal, find it too.
        EXPECT_TRUE(std::regex_search(
            readFile(symbolized),
            std::regex("\n(ip|pc) = [^\n]*\n[^\n]*crashInKnownFunction[^\n]*crash_test\\.cpp:"
                       "[\\s\\S]*\nframe #[0-9]+ = [^\n]*\n[^\n]*crashInKnownFunction")))
            << readFile(symbolized);
        unlink(report.c_str());
        unlink(symbolized.c_str());
    }
}

}  // namespace
