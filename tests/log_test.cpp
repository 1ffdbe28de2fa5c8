#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/child.h"
#include "vorna/log.h"

namespace {

using namespace testing_support;
using testing::Contains;
using testing::HasSubstr;

// The six prefix formats of the library's log lines.
const char kInf[] = "<1>[   vorna  ][%s %s %s %d] INF: ";
const char kWrn[] = "<2>[   vorna  ][%s %s %s %d] WRN: ";
const char kErr[] = "<3>[   vorna  ][%s %s %s %d] ERR: ";
const char kBug[] = "<4>[   vorna  ][%s %s %s %d] BUG: ";
const char kShmErr[] = "<3>[xxxxxxxxxx][%s %s %s %d] ERR: ";
const char kShmWrn[] = "<2>[xxxxxxxxxx][%s %s %s %d] WRN: ";
const char* const kLevelPrefixes[] = {nullptr, kInf, kWrn, kErr, kBug};

void logText(const char* text) {
    LogPrint(nullptr, "", "", "", 0, "%s", text);
}

// A line of `level` as the console shows it; the file keeps it with "<level>" in front.
std::string shownLine(int level, const std::string& fields, const std::string& message) {
    const char* const words[] = {"", "INF", "WRN", "ERR", "BUG"};
    return "[   vorna  ][ " + fields + "] " + words[level] + ": " + message + "\n";
}

std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// What the console and the echo of the log file show of stored lines: each without its level marker.
std::string withoutMarkers(const std::string& stored) {
    return std::regex_replace(stored, std::regex("(^|\n)<[0-9]>"), "$1");
}

// Runs `body(t)` on threads 0 to `threads` - 1 at once.
void onThreads(int threads, const std::function<void(int)>& body) {
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back(body, t);
    for (std::thread& thread : running)
        thread.join();
}

// Inside a child, whose standard output is a file: waits until it holds `lines` lines, which the echo
// thread copies from the log file, or ten seconds.
void waitForOutput(long lines) {
    fflush(stdout);
    waitUntil(
        [lines] {
            const std::string out = readFile("/proc/self/fd/1");
            return std::count(out.begin(), out.end(), '\n') >= lines;
        },
        10000);
}

TEST(Log, LinesOnTheConsoleAndInTheFileWithItsEcho) {
    const std::string body(300, 'x');
    const std::string kept253 = body.substr(0, 253) + "\n";
    std::string thousand;
    for (int i = 0; i < 1000; ++i)
        thousand += "<1>" + shownLine(1, "src/B file " + std::to_string(i), "line " + std::to_string(i));
    // Prefixes of 62, 63 and 149 characters.
    const std::vector<std::string> paths = {std::string(33, 'p'), std::string(34, 'q'),
                                            std::string(120, 'r')};
    std::string cutPrefixes;
    for (const std::string& path : paths)
        cutPrefixes += ("<1>[   vorna  ][ " + path + " fn 7] INF: ").substr(0, 62) + "|\n";
    const struct {
        const char* name;
        std::function<void()> body;
        std::string stored;
        std::string console;  // when it is not the stored text without markers
    } cases[] = {
        {"prefixes, markers and null formats",
         [] {
             if (LogPrint(kErr, "", "src/Connection", "connect", 42, "connect failed(%d)\n", 111) != 0)
                 _exit(5);
             LogPrint(kBug, "", "src/Mutex", "Mutex", 4444, "NULL != mMutex\n");
             LogPrint(kShmErr, "", "src/ShareMemory", "ShareMemory", -5, "shm error\n");
             LogPrint(kShmWrn, "", "src/ShareMemory", "data", 0, "shm warning\n");
             LogPrint(kInf, "field1", "src/Own", "fields", 7, "%s %d %c\n", "text", -12, 'c');
             for (const char* prefix : {"<", "<1", "ab", "<x>y", "<12>", "<1>", "<9>nine"})
                 LogPrint(prefix, "", "", "", 0, "|\n");
             LogPrint(nullptr, "", "src/B", "second", 2, "only the message\n");
             LogPrint(kWrn, "", "src/C", "third", 3, nullptr);
             LogPrint(nullptr, "", "src/D", "fourth", 4, nullptr);
             for (const char* text : {"|\n", "ab\n", "\n", "<\n", "<1\n"})
                 logText(text);
         },
         "<3>[   vorna  ][ src/Connection connect 42] ERR: connect failed(111)\n"
         "<4>[   vorna  ][ src/Mutex Mutex 4444] BUG: NULL != mMutex\n"
         "<3>[xxxxxxxxxx][ src/ShareMemory ShareMemory -5] ERR: shm error\n"
         "<2>[xxxxxxxxxx][ src/ShareMemory data 0] WRN: shm warning\n"
         "<1>[   vorna  ][field1 src/Own fields 7] INF: text -12 c\n"
         "<|\n<1|\nab|\n<x>y|\n<12>|\n<1>|\n<9>nine|\nonly the message\n"
         "<2>[   vorna  ][ src/C third 3] WRN: |\nab\n\n<\n<1\n",
         ""},
        {"a marker in the message", [] { logText("<7>seven\n"); }, "<7>seven\n", "<7>seven\n"},
        {"messages cut to 254 characters (253 and the newline when they ended with one), prefixes to 62",
         [&] {
             for (const std::string& text : {body + "\n", body.substr(0, 254) + "\n",
                                             body.substr(0, 253) + "\n", body.substr(0, 254), body})
                 logText(text.c_str());
             // A format that ends in a newline, with an argument that makes the message too long.
             LogPrint(nullptr, "", "", "", 0, "%s\n", body.c_str());
             LogPrint(kErr, "", "src/Long", "cut", 9, "%s", body.c_str());
             logText("|\n");
             for (const std::string& path : paths)
                 LogPrint(kInf, "", path.c_str(), "fn", 7, "|\n");
             LogPrint(kInf, "", paths[2].c_str(), "fn", 7, "%s", body.c_str());
             logText("|\n");
         },
         kept253 + kept253 + kept253 + body.substr(0, 254) + body.substr(0, 254) + kept253 +
             "<3>[   vorna  ][ src/Long cut 9] ERR: " + body.substr(0, 254) + "|\n" + cutPrefixes +
             ("<1>[   vorna  ][ " + paths[2]).substr(0, 62) + body.substr(0, 254) + "|\n",
         ""},
        {"a thousand lines, each once and in order, in bursts that keep the echo busy when its next poll "
         "comes",
         [] {
             for (int i = 0; i < 1000; ++i) {
                 LogPrint(kInf, "", "src/B", "file", i, "line %d\n", i);
                 if (i % 100 == 99)
                     waitForOutput(i + 1);
             }
         },
         thousand, ""},
    };
    const std::string path = testing::TempDir() + uniqueName("log");
    const std::string second = testing::TempDir() + uniqueName("second");
    for (const auto& c : cases) {
        const long lines = std::count(c.stored.begin(), c.stored.end(), '\n');
        for (bool toFile : {false, true}) {
            const ChildResult child = runInChild([&] {
                // A file that cannot be opened leaves the console; a later call tries again, and once a file
                // is open a further one does nothing.
                LogInit("/nonexistent-directory/vorna.log");
                if (toFile) {
                    LogInit(path.c_str());
                    LogInit(second.c_str());
                }
                c.body();
                waitForOutput(lines);
            });
            SCOPED_TRACE(std::string(c.name) + (toFile ? ", in the file and echoed" : ", on the console"));
            EXPECT_EQ(0, child.status);
            EXPECT_EQ(toFile || c.console.empty() ? withoutMarkers(c.stored) : c.console, child.out);
            EXPECT_EQ(toFile ? c.stored : "", toFile ? readFile(path) : "");
        }
    }
    EXPECT_NE(0, access(second.c_str(), F_OK)) << "the second LogInit created its file";
    unlink(path.c_str());
}

// One line of each level, and one without a level.
void logEveryLevel() {
    for (int level = 1; level <= 4; ++level)
        LogPrint(kLevelPrefixes[level], "", "src/L", "level", level, "level %d\n", level);
    logText("unmarked\n");
}

std::string everyLevelFrom(int threshold) {
    std::string text;
    for (int level = std::max(threshold, 1); level <= 4; ++level)
        text += shownLine(level, "src/L level " + std::to_string(level), "level " + std::to_string(level));
    return text + "unmarked\n";
}

// Started by LevelComesFromTheEnvironment in a new process, where the library read VORNA_LOG_LEVEL. The
// threshold LogSetLevel sets is the same one (the writer test below sets it).
TEST(LogLevel, DISABLED_EnvironmentProbe) {
    logEveryLevel();
    fflush(stdout);
}

TEST(LogLevel, LevelComesFromTheEnvironment) {
    const std::pair<const char*, int> cases[] = {{"warning", 2}, {"ERROR", 3},    {"bug", 4},  {"info", 1},
                                                 {"3", 3},       {"5", 5},        {"loud", 0}, {"", 0},
                                                 {"3x", 0},      {"2 errors", 0}, {"-7", -7}};
    const char probe[] = VORNA_TEST_EMULATOR
        " " VORNA_TEST_SELF
        " --gtest_also_run_disabled_tests --gtest_filter=LogLevel.DISABLED_EnvironmentProbe";
    for (const auto& c : cases) {
        const ChildResult child = runInChild(
            [&] {
                setenv("VORNA_LOG_LEVEL", c.first, 1);
                execl("/bin/sh", "sh", "-c", probe, nullptr);
                _exit(127);
            },
            60000);
        EXPECT_EQ(0, child.status) << c.first << ": " << child.err;
        EXPECT_NE(std::string::npos, child.out.find("[ RUN      ] LogLevel.DISABLED_EnvironmentProbe\n" +
                                                    everyLevelFrom(c.second)))
            << "VORNA_LOG_LEVEL=" << c.first << " printed\n"
            << child.out;
    }
}

void collectLine(void* ctx, int level, const char* line, int len) {
    *static_cast<std::string*>(ctx) += std::to_string(level) + " " + std::to_string(len) + " " + line;
}

TEST(LogWriter, LinesFromConcurrentThreadsStayWholeOnTheConsoleAndReachAWriterMarkedInsteadOfIt) {
    const auto logFromThreads = [] {
        onThreads(4, [](int t) {
            for (int i = 0; i < 200; ++i)
                LogPrint(kLevelPrefixes[i % 4 + 1], "", "src/W", "writer", t, "line %d\n", i);
        });
    };
    const ChildResult child = runInChild([&] {
        logFromThreads();
        std::string written;
        LogSetLevel(3);
        LogSetWriter(collectLine, &written);
        logFromThreads();
        LogSetWriter(nullptr, nullptr);
        LogPrint(kBug, "", "src/W", "console", 0, "back on the console\n");
        printf("%s", written.c_str());
    });
    std::string expected = shownLine(4, "src/W console 0", "back on the console");
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 200; ++i) {
            const int level = i % 4 + 1;
            const std::string line =
                shownLine(level, "src/W writer " + std::to_string(t), "line " + std::to_string(i));
            expected += line;
            if (level >= 3)
                expected += std::to_string(level) + " " + std::to_string(line.size() + 3) + " <" +
                            std::to_string(level) + ">" + line;
        }
    }
    EXPECT_EQ(0, child.status);
    EXPECT_EQ(sortedLines(expected), sortedLines(child.out));
}

TEST(LogRotation, FilesStayBoundedAndTheEchoShowsEveryLineOnceAcrossRotationsWithConcurrentWriters) {
    const std::string path = testing::TempDir() + uniqueName("rotated");
    const int kMaxBytes = 4000;
    const int kKeep = 3;
    const int kThreads = 4;
    const int kLines = 300;
    const ChildResult child = runInChild([&] {
        LogInitLimited(path.c_str(), kMaxBytes, kKeep);
        onThreads(kThreads, [](int t) {
            for (int i = 0; i < kLines; ++i)
                LogPrint(kInf, "", "src/R", "rotate", t, "line %d of writer %d\n", i, t);
        });
        waitForOutput(kThreads * kLines);
    });
    ASSERT_EQ(0, child.status) << child.err;
    // Every line once, each writer's in its order.
    std::vector<int> next(kThreads, 0);
    std::istringstream lines(child.out);
    for (std::string line; std::getline(lines, line);) {
        int i = -1;
        int t = -1;
        ASSERT_EQ(2,
                  sscanf(line.c_str(), "[   vorna  ][ src/R rotate %*d] INF: line %d of writer %d", &i, &t))
            << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(next[t]++, i) << "writer " << t << " out of order or repeated";
    }
    EXPECT_EQ(std::vector<int>(kThreads, kLines), next);
    // The kept files, oldest first, are the last lines of the echo, markers included; each within its bound.
    std::string kept = "\n";
    for (int index = kKeep; index >= 0; --index) {
        const std::string name = index == 0 ? path : path + "." + std::to_string(index);
        const std::string text = readFile(name);
        EXPECT_TRUE(!text.empty() && text.size() <= kMaxBytes + 318u)
            << name << ": " << text.size() << " bytes";
        kept += text;
        unlink(name.c_str());
    }
    EXPECT_NE(0, access((path + "." + std::to_string(kKeep + 1)).c_str(), F_OK)) << "more files than kept";
    const std::string echoed = std::regex_replace("\n" + child.out, std::regex("\n\\["), "\n<1>[");
    EXPECT_EQ(kept, echoed.substr(echoed.size() - std::min(echoed.size(), kept.size())));
}

// A file on a full disk: a tmpfs of its own, in a mount namespace of the child's own, filled up. Needs
// root (the CI runs as root).
bool mountFullDisk(const std::string& directory) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("vorna-test", directory.c_str(), "tmpfs", 0, "size=64k") != 0)
        return false;
    const int filler = open((directory + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const char block[4096] = {};
    while (filler >= 0 && write(filler, block, sizeof(block)) > 0) {
    }
    return filler >= 0 && errno == ENOSPC && close(filler) == 0;
}

TEST(LogFile, LinesAFullDiskRefusesReachTheConsoleWithOneErrorAndLaterOnesTheFileOnceThereIsSpace) {
    char directory[] = "/tmp/vorna-full-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(directory));
    const std::string path = std::string(directory) + "/vorna.log";
    const ChildResult child = runInChild([&] {
        if (!mountFullDisk(directory)) {
            printf("no full disk\n");
            return;
        }
        LogInit(path.c_str());
        for (int i = 0; i < 250; ++i) {
            LogPrint(kInf, "", "src/F", "full", i, "line %d\n", i);
            if (i == 199) {
                waitForOutput(201);  // the error line too
                unlink((std::string(directory) + "/filler").c_str());
            }
        }
        waitForOutput(251);
        fputs(readFile(path).c_str(), stderr);
    });
    rmdir(directory);
    if (child.out == "no full disk\n")
        GTEST_SKIP() << "a tmpfs needs root";
    std::string all, later;
    for (int i = 0; i < 250; ++i) {
        const std::string line = shownLine(1, "src/F full " + std::to_string(i), "line " + std::to_string(i));
        all += line;
        later += i < 200 ? "" : "<1>" + line;
    }
    const std::regex error(
        "\\[   vorna  \\]\\[ src/log flushPending [0-9]+\\] ERR: log file write failed: No "
        "space left on device; lines go to standard output only\n");
    EXPECT_EQ(all, std::regex_replace(child.out, error, "")) << "lines lost, repeated or out of order";
    EXPECT_THAT(sortedLines(child.out), Contains(HasSubstr("ERR: log file write failed")).Times(1));
    EXPECT_EQ(later, child.err) << "the file, once it has space again";
}

void logFromWriter(void* ctx, int, const char* line, int) {
    LogPrint(kErr, "", "src/W", "writer", 1, "the writer failed\n");
    LogSetWriter(nullptr, nullptr);  // ignored
    *static_cast<std::string*>(ctx) += line;
}

TEST(LogWriter, LinesLoggedByTheWriterGoToStandardErrorInsteadOfDeadlocking) {
    const ChildResult child = runInChild(
        [] {
            std::string written;
            LogSetWriter(logFromWriter, &written);
            LogPrint(kInf, "", "src/W", "caller", 2, "to the writer\n");
            LogPrint(kInf, "", "src/W", "caller", 3, "again\n");
            LogSetWriter(nullptr, nullptr);
            printf("%s", written.c_str());
        },
        5000 * kSlack);
    EXPECT_EQ("<1>" + shownLine(1, "src/W caller 2", "to the writer") + "<1>" +
                  shownLine(1, "src/W caller 3", "again"),
              child.out);
    const std::string failed = shownLine(3, "src/W writer 1", "the writer failed");
    EXPECT_EQ(failed + failed, child.err);
}

// At most size - 2 characters and the NUL, nothing with a size of 0, and nothing beyond.
TEST(VsnPrinter, StoresWhatFitsLessTwoAndReturnsTheWholeLength) {
    const std::pair<unsigned, const char*> cases[] = {
        {32, "-42-abc-z"}, {8, "-42-ab"}, {2, ""}, {1, ""}, {0, nullptr}};
    for (const auto& c : cases) {
        char buffer[33];
        memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(9, VsnPrinter::printf(buffer, c.first, "%d-%s-%c", -42, "abc", 'z')) << c.first;
        const std::string stored = c.second == nullptr ? "" : std::string(c.second) + '\0';
        EXPECT_EQ(stored + std::string(sizeof(buffer) - stored.size(), 'x'),
                  std::string(buffer, sizeof(buffer)));
    }
    EXPECT_EQ(3, VsnPrinter::printf(nullptr, 0, "%d", 123));
}

}  // namespace
