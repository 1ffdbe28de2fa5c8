#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "vorna/log.h"

namespace {

using testing_support::ChildResult;
using testing_support::nowMs;
using testing_support::readFile;
using testing_support::runInChild;

// The six prefix formats of the library's log lines.
const char kInf[] = "<1>[   vorna  ][%s %s %s %d] INF: ";
const char kWrn[] = "<2>[   vorna  ][%s %s %s %d] WRN: ";
const char kErr[] = "<3>[   vorna  ][%s %s %s %d] ERR: ";
const char kBug[] = "<4>[   vorna  ][%s %s %s %d] BUG: ";
const char kShmErr[] = "<3>[xxxxxxxxxx][%s %s %s %d] ERR: ";
const char kShmWrn[] = "<2>[xxxxxxxxxx][%s %s %s %d] WRN: ";

// The way the library's own modules call LogPrint: an empty first field.
void logLine(const char* prefix, const char* path, const char* function, int line, const char* message) {
    LogPrint(prefix, "", path, function, line, "%s", message);
}

void logText(const char* text) {
    LogPrint(nullptr, "", "", "", 0, "%s", text);
}

std::string logPath(const char* tag) {
    return testing::TempDir() + testing_support::uniqueName(tag);
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
    std::string shown;
    std::istringstream lines(stored);
    for (std::string line; std::getline(lines, line);) {
        const bool marked = line.size() >= 3 && line[0] == '<' && isdigit(line[1]) && line[2] == '>';
        shown += line.substr(marked ? 3 : 0) + "\n";
    }
    return shown;
}

// Inside a child: standard output goes into a pipe that the child reads itself, so that it can wait, with
// a deadline, for the lines the echo thread copies; it then hands them to the parent on the standard
// output it had before.
class EchoCapture {
  public:
    EchoCapture() {
        fflush(stdout);
        mParentOutput = dup(STDOUT_FILENO);
        int fds[2];
        if (pipe(fds) != 0)
            _exit(2);
        mEcho = fds[0];
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
    }

    // What arrived on standard output once it holds `lines` newlines, or when `timeoutMs` has passed.
    std::string readLines(long lines, int timeoutMs = 10000) {
        fflush(stdout);
        const long long deadline = nowMs() + timeoutMs;
        while (std::count(mText.begin(), mText.end(), '\n') < lines &&
               testing_support::readSomeBefore(mEcho, &mText, deadline)) {
        }
        return mText;
    }

    void handBack(const std::string& text) {
        if (write(mParentOutput, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            _exit(3);
    }

  private:
    int mParentOutput;
    int mEcho;
    std::string mText;
};

// Runs `body` in a child, with a log file at `path` when it is not empty, and returns what the console
// (or the echo of the file) showed once it holds `lines` lines.
ChildResult logInChild(const std::string& path, long lines, const std::function<void()>& body) {
    return runInChild([&] {
        EchoCapture echo;
        if (!path.empty())
            LogInit(path.c_str());
        body();
        echo.handBack(echo.readLines(lines));
    });
}

TEST(Log, LinesOnTheConsoleAndInTheFileWithItsEcho) {
    const std::string fits(254, 'm');
    const std::string tooLong(400, 'n');
    const std::string body(300, 'x');
    const std::string kept253 = body.substr(0, 253) + "\n";
    // With an empty path the prefix is this long; the paths below bring it to 62, 63 and far beyond.
    const std::string shortest = "<1>[   vorna  ][  fn 7] INF: ";
    const std::vector<std::string> paths = {std::string(62 - shortest.size(), 'p'),
                                            std::string(63 - shortest.size(), 'q'), std::string(120, 'r')};
    ASSERT_EQ(62u, ("<1>[   vorna  ][ " + paths[0] + " fn 7] INF: ").size());
    std::string cutPrefixes;
    for (const std::string& path : paths)
        cutPrefixes += ("<1>[   vorna  ][ " + path + " fn 7] INF: ").substr(0, 62) + "|\n";
    const struct {
        const char* name;
        std::function<void()> body;
        std::string stored;
        std::string console;  // when it is not the stored text without markers
    } cases[] = {
        {"fields of every prefix",
         [] {
             if (LogPrint(kErr, "", "src/Connection", "connect", 42, "connect failed(%d)\n", 111) != 0)
                 _exit(5);
             logLine(kInf, "src/Thread", "run", 1, "info\n");
             logLine(kWrn, "src/Semaphore", "wait", 22, "warning\n");
             logLine(kErr, "src/Listener", "~Listener", 333, "error\n");
             logLine(kBug, "src/Mutex", "Mutex", 4444, "NULL != mMutex\n");
             logLine(kShmErr, "src/ShareMemory", "ShareMemory", -5, "shm error\n");
             logLine(kShmWrn, "src/ShareMemory", "data", 0, "shm warning\n");
             LogPrint(kInf, "field1", "src/Own", "fields", 7, "%s %d %c\n", "text", -12, 'c');
         },
         "<3>[   vorna  ][ src/Connection connect 42] ERR: connect failed(111)\n"
         "<1>[   vorna  ][ src/Thread run 1] INF: info\n"
         "<2>[   vorna  ][ src/Semaphore wait 22] WRN: warning\n"
         "<3>[   vorna  ][ src/Listener ~Listener 333] ERR: error\n"
         "<4>[   vorna  ][ src/Mutex Mutex 4444] BUG: NULL != mMutex\n"
         "<3>[xxxxxxxxxx][ src/ShareMemory ShareMemory -5] ERR: shm error\n"
         "<2>[xxxxxxxxxx][ src/ShareMemory data 0] WRN: shm warning\n"
         "<1>[   vorna  ][field1 src/Own fields 7] INF: text -12 c\n",
         ""},
        {"null formats and short lines",
         [] {
             logLine(kInf, "src/A", "first", 1, "first message\n");
             LogPrint(nullptr, "", "src/B", "second", 2, "only the message\n");
             LogPrint(kWrn, "", "src/C", "third", 3, nullptr);
             LogPrint(nullptr, "", "src/D", "fourth", 4, nullptr);
             for (const char* text : {"|\n", "ab\n", "\n", "<\n", "<1\n"})
                 logText(text);
         },
         "<1>[   vorna  ][ src/A first 1] INF: first message\nonly the message\n"
         "<2>[   vorna  ][ src/C third 3] WRN: |\nab\n\n<\n<1\n",
         ""},
        {"markers of prefixes",
         [] {
             for (const char* prefix : {"<", "<1", "ab", "<x>y", "<12>", "<1>", "<9>nine"})
                 LogPrint(prefix, "", "", "", 0, "|\n");
         },
         "<|\n<1|\nab|\n<x>y|\n<12>|\n<1>|\n<9>nine|\n", ""},
        {"a marker in the message", [] { logText("<7>seven\n"); }, "<7>seven\n", "<7>seven\n"},
        {"messages cut to 254 and prefixes to 62 characters",
         [&] {
             for (const std::string& text : {fits, fits + "x"}) {
                 logText(text.c_str());
                 logText("|\n");
             }
             logLine(kErr, "src/Long", "cut", 9, tooLong.c_str());
             logText("|\n");
             for (const std::string& path : paths)
                 logLine(kInf, path.c_str(), "fn", 7, "|\n");
             logLine(kInf, paths[2].c_str(), "fn", 1, tooLong.c_str());
             logText("|\n");
         },
         fits + "|\n" + fits + "|\n" + "<3>[   vorna  ][ src/Long cut 9] ERR: " + tooLong.substr(0, 254) +
             "|\n" + cutPrefixes + ("<1>[   vorna  ][ " + paths[2]).substr(0, 62) + tooLong.substr(0, 254) +
             "|\n",
         ""},
        {"a cut message that ended with a newline keeps 253 characters and the newline",
         [&] {
             for (const std::string& text : {body + "\n", body.substr(0, 254) + "\n",
                                             body.substr(0, 253) + "\n", body.substr(0, 254), body})
                 logText(text.c_str());
             // A format that ends in a newline, with an argument that makes the message too long.
             LogPrint(nullptr, "", "", "", 0, "%s\n", body.c_str());
             logText("end\n");
         },
         kept253 + kept253 + kept253 + body.substr(0, 254) + body.substr(0, 254) + kept253 + "end\n", ""},
    };
    const std::string path = logPath("log");
    for (const auto& c : cases) {
        const std::string shown = c.console.empty() ? withoutMarkers(c.stored) : c.console;
        const long lines = std::count(c.stored.begin(), c.stored.end(), '\n');
        const ChildResult console = logInChild("", lines, c.body);
        EXPECT_EQ(0, console.status) << c.name;
        EXPECT_EQ(shown, console.out) << c.name << " on the console";
        const ChildResult echo = logInChild(path, lines, c.body);
        EXPECT_EQ(0, echo.status) << c.name;
        EXPECT_EQ(c.stored, readFile(path)) << c.name << " in the file";
        EXPECT_EQ(withoutMarkers(c.stored), echo.out) << c.name << " echoed";
    }
    unlink(path.c_str());
}

TEST(LogFile, FailedLogInitsKeepTheConsoleASecondOneKeepsTheFirstFileAndTheEchoShowsEveryLineOnceInOrder) {
    const std::string path = logPath("log");
    const std::string second = logPath("second");
    const int kLines = 1000;
    const ChildResult child = runInChild([&] {
        EchoCapture echo;
        for (int attempt = 0; attempt < 3; ++attempt)
            LogInit("/nonexistent-directory/vorna.log");
        logLine(kErr, "src/A", "console", 1, "still on the console\n");
        LogInit(path.c_str());
        LogInit(second.c_str());
        // Bursts long enough for the echo to be busy when its next poll comes due.
        for (int i = 0; i < kLines; ++i) {
            LogPrint(kInf, "", "src/B", "file", i, "line %d\n", i);
            if (i % 100 == 99)
                echo.readLines(i + 2);
        }
        echo.handBack(echo.readLines(1 + kLines));
    });
    std::string stored;
    for (int i = 0; i < kLines; ++i)
        stored +=
            "<1>[   vorna  ][ src/B file " + std::to_string(i) + "] INF: line " + std::to_string(i) + "\n";
    const std::string echoed =
        "[   vorna  ][ src/A console 1] ERR: still on the console\n" + withoutMarkers(stored);
    EXPECT_EQ(0, child.status) << child.err;
    EXPECT_EQ(echoed, child.out);
    EXPECT_EQ(stored, readFile(path));
    EXPECT_NE(0, access(second.c_str(), F_OK)) << "the second LogInit created its file";
    unlink(path.c_str());
}

// One line of each level, and one without a level.
void logEveryLevel() {
    const char* const prefixes[] = {kInf, kWrn, kErr, kBug};
    for (int level = 1; level <= 4; ++level)
        LogPrint(prefixes[level - 1], "", "src/L", "level", level, "level %d\n", level);
    logText("unmarked\n");
}

std::string everyLevelFrom(int threshold) {
    const char* const words[] = {"INF", "WRN", "ERR", "BUG"};
    std::string text;
    for (int level = std::max(threshold, 1); level <= 4; ++level) {
        text += "[   vorna  ][ src/L level " + std::to_string(level) + "] " + words[level - 1] + ": level " +
                std::to_string(level) + "\n";
    }
    return text + "unmarked\n";
}

// Started by LevelComesFromTheEnvironment in a new process, where the library read VORNA_LOG_LEVEL.
TEST(LogLevel, DISABLED_EnvironmentProbe) {
    logEveryLevel();
    fflush(stdout);
}

TEST(LogLevel, SetLevelDropsLowerLevelsAndKeepsUnmarkedLines) {
    for (int threshold : {0, 1, 2, 3, 4, 5, -7}) {
        const ChildResult child = runInChild([threshold] {
            LogSetLevel(threshold);
            logEveryLevel();
        });
        EXPECT_EQ(everyLevelFrom(threshold), child.out) << "threshold " << threshold;
    }
}

TEST(LogLevel, LevelComesFromTheEnvironment) {
    const std::pair<const char*, int> cases[] = {{"warning", 2}, {"ERROR", 3}, {"bug", 4},  {"info", 1},
                                                 {"3", 3},       {"5", 5},     {"loud", 0}, {"", 0}};
    for (const auto& c : cases) {
        const ChildResult child = runInChild(
            [&c] {
                std::vector<std::string> words;
                std::istringstream emulator(VORNA_TEST_EMULATOR);
                for (std::string word; emulator >> word;)
                    words.push_back(word);
                words.insert(words.end(), {VORNA_TEST_SELF, "--gtest_also_run_disabled_tests",
                                           "--gtest_filter=LogLevel.DISABLED_EnvironmentProbe"});
                std::vector<char*> argv;
                for (std::string& word : words)
                    argv.push_back(&word[0]);
                argv.push_back(nullptr);
                setenv("VORNA_LOG_LEVEL", c.first, 1);
                execvp(argv[0], argv.data());
                _exit(127);
            },
            60000);
        EXPECT_EQ(0, child.status) << c.first << ": " << child.err;
        EXPECT_NE(std::string::npos, child.out.find("[ RUN      ] LogLevel.DISABLED_EnvironmentProbe\n" +
                                                    everyLevelFrom(c.second)))
            << "VORNA_LOG_LEVEL=" << c.first << " should print\n"
            << everyLevelFrom(c.second) << "but printed\n"
            << child.out;
    }
}

void collectLine(void* ctx, int level, const char* line, int len) {
    static_cast<std::vector<std::string>*>(ctx)->push_back(std::to_string(level) + " " + std::to_string(len) +
                                                           " " + line);
}

TEST(LogWriter, LinesFromConcurrentThreadsStayWholeOnTheConsoleAndReachAWriterMarkedInsteadOfIt) {
    const char* const prefixes[] = {kInf, kWrn, kErr, kBug};
    const auto logFromThreads = [&] {
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([t, &prefixes] {
                for (int i = 0; i < 200; ++i)
                    LogPrint(prefixes[i % 4], "", "src/W", "writer", t, "line %d\n", i);
            });
        }
        for (std::thread& writer : writers)
            writer.join();
    };
    const ChildResult child = runInChild([&] {
        logFromThreads();
        std::vector<std::string> written;
        LogSetLevel(3);
        LogSetWriter(collectLine, &written);
        logFromThreads();
        LogSetWriter(nullptr, nullptr);
        LogPrint(kBug, "", "src/W", "console", 0, "back on the console\n");
        for (const std::string& line : written)
            printf("%s", line.c_str());
    });
    std::string expected = "[   vorna  ][ src/W console 0] BUG: back on the console\n";
    const char* const words[] = {"INF", "WRN", "ERR", "BUG"};
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 200; ++i) {
            const std::string line = "[   vorna  ][ src/W writer " + std::to_string(t) + "] " + words[i % 4] +
                                     ": line " + std::to_string(i) + "\n";
            expected += line;
            if (i % 4 >= 2) {
                expected += std::to_string(i % 4 + 1) + " " + std::to_string(line.size() + 3) + " <" +
                            std::to_string(i % 4 + 1) + ">" + line;
            }
        }
    }
    EXPECT_EQ(0, child.status);
    EXPECT_EQ(sortedLines(expected), sortedLines(child.out));
}

TEST(LogRotation, FilesStayBoundedAndTheEchoShowsEveryLineOnceAcrossRotationsWithConcurrentWriters) {
    const std::string path = logPath("rotated");
    const int kMaxBytes = 4000;
    const int kKeep = 3;
    const int kThreads = 4;
    const int kLines = 300;
    const ChildResult child = runInChild([&] {
        EchoCapture echo;
        LogInitLimited(path.c_str(), kMaxBytes, kKeep);
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([t] {
                for (int i = 0; i < kLines; ++i)
                    LogPrint(kInf, "", "src/R", "rotate", t, "line %d of writer %d\n", i, t);
            });
        }
        // Read while they write: a rotation waits for the echo, and the echo for this pipe.
        const std::string text = echo.readLines(kThreads * kLines);
        for (std::thread& writer : writers)
            writer.join();
        echo.handBack(text);
    });
    ASSERT_EQ(0, child.status) << child.err;
    // Every line once, each writer's in its order.
    std::vector<int> next(kThreads, 0);
    std::istringstream lines(child.out);
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) {
        int i = -1;
        int t = -1;
        ASSERT_EQ(2,
                  sscanf(line.c_str(), "[   vorna  ][ src/R rotate %*d] INF: line %d of writer %d", &i, &t))
            << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(next[t]++, i) << "writer " << t << " out of order or repeated";
        all.push_back("<1>" + line + "\n");
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), all.size());
    // The kept files, oldest first, are the last lines of the echo, markers included; each within its bound.
    std::string kept;
    for (int index = kKeep; index >= 0; --index) {
        const std::string name = index == 0 ? path : path + "." + std::to_string(index);
        const std::string text = readFile(name);
        EXPECT_FALSE(text.empty()) << name;
        EXPECT_LE(text.size(), static_cast<size_t>(kMaxBytes) + 318) << name;
        kept += text;
        unlink(name.c_str());
    }
    EXPECT_NE(0, access((path + "." + std::to_string(kKeep + 1)).c_str(), F_OK)) << "more files than kept";
    std::string echoedTail;
    for (size_t i = all.size(); i-- > 0 && echoedTail.size() < kept.size();)
        echoedTail = all[i] + echoedTail;
    EXPECT_EQ(kept, echoedTail);
}

TEST(VsnPrinter, StoresWhatFitsLessTwoAndReturnsTheWholeLength) {
    const struct {
        unsigned size;
        const char* stored;  // nullptr: nothing is written
        size_t untouchedFrom;
    } cases[] = {{32, "-42-abc-z", 10}, {8, "-42-ab", 7}, {2, "", 2}, {1, "", 1}, {0, nullptr, 0}};
    for (const auto& c : cases) {
        char buffer[33];
        memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(9, VsnPrinter::printf(buffer, c.size, "%d-%s-%c", -42, "abc", 'z')) << c.size;
        if (c.stored != nullptr) {
            EXPECT_STREQ(c.stored, buffer) << c.size;
        }
        EXPECT_EQ(std::string(sizeof(buffer) - c.untouchedFrom, 'x'),
                  std::string(buffer + c.untouchedFrom, sizeof(buffer) - c.untouchedFrom))
            << c.size;
    }
    EXPECT_EQ(3, VsnPrinter::printf(nullptr, 0, "%d", 123));
}

}  // namespace
