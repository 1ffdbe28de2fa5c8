#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
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
using testing_support::runInChild;

// The six prefix formats of the library's log lines.
const char kInf[] = "<1>[   vorna  ][%s %s %s %d] INF: ";
const char kWrn[] = "<2>[   vorna  ][%s %s %s %d] WRN: ";
const char kErr[] = "<3>[   vorna  ][%s %s %s %d] ERR: ";
const char kBug[] = "<4>[   vorna  ][%s %s %s %d] BUG: ";
const char kShmErr[] = "<3>[xxxxxxxxxx][%s %s %s %d] ERR: ";
const char kShmWrn[] = "<2>[xxxxxxxxxx][%s %s %s %d] WRN: ";

// The way the library's own modules call LogPrint: an empty first field.
int logLine(const char* prefix, const char* path, const char* function, int line, const char* message) {
    return LogPrint(prefix, "", path, function, line, "%s", message);
}

std::string logPath(const char* tag) {
    return testing::TempDir() + testing_support::uniqueName(tag);
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// For long texts: where they part, rather than both texts whole.
std::string firstDifference(const std::string& expected, const std::string& actual) {
    const size_t at = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end()).first -
                      expected.begin();
    const size_t lineStart = expected.rfind('\n', at == 0 ? 0 : at - 1);
    const size_t from = lineStart == std::string::npos || at == 0 ? 0 : lineStart + 1;
    return "the texts part at byte " + std::to_string(at) + " (expected " + std::to_string(expected.size()) +
           " bytes, got " + std::to_string(actual.size()) + "):\n  expected: " + expected.substr(from, 120) +
           "\n  actual:   " + actual.substr(std::min(from, actual.size()), 120);
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
        if (pipe(fds) != 0) {
            perror("pipe");
            _exit(2);
        }
        mEcho = fds[0];
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
    }

    // What arrived on standard output once it holds `lines` newlines, or when `timeoutMs` has passed.
    std::string readLines(int lines, int timeoutMs = 10000) {
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

TEST(LogConsole, LineShowsTagFieldsAndLevelButNotTheMarker) {
    const ChildResult child = runInChild([] {
        const int result = LogPrint(kErr, "", "src/Connection", "connect", 42, "connect failed(%d)\n", 111);
        printf("result=%d\n", result);
    });

    EXPECT_EQ(0, child.status);
    EXPECT_EQ(
        "[   vorna  ][ src/Connection connect 42] ERR: connect failed(111)\n"
        "result=0\n",
        child.out);
}

TEST(LogConsole, EveryPrefixFormatPrintsItsTagAndLevelWord) {
    const ChildResult child = runInChild([] {
        logLine(kInf, "src/Thread", "run", 1, "info\n");
        logLine(kWrn, "src/Semaphore", "wait", 22, "warning\n");
        logLine(kErr, "src/Listener", "~Listener", 333, "error\n");
        logLine(kBug, "src/Mutex", "Mutex", 4444, "NULL != mMutex\n");
        logLine(kShmErr, "src/ShareMemory", "ShareMemory", -5, "shm error\n");
        logLine(kShmWrn, "src/ShareMemory", "data", 0, "shm warning\n");
        LogPrint(kInf, "field1", "src/Own", "fields", 7, "%s %d %c\n", "text", -12, 'c');
    });

    EXPECT_EQ(
        "[   vorna  ][ src/Thread run 1] INF: info\n"
        "[   vorna  ][ src/Semaphore wait 22] WRN: warning\n"
        "[   vorna  ][ src/Listener ~Listener 333] ERR: error\n"
        "[   vorna  ][ src/Mutex Mutex 4444] BUG: NULL != mMutex\n"
        "[xxxxxxxxxx][ src/ShareMemory ShareMemory -5] ERR: shm error\n"
        "[xxxxxxxxxx][ src/ShareMemory data 0] WRN: shm warning\n"
        "[   vorna  ][field1 src/Own fields 7] INF: text -12 c\n",
        child.out);
}

TEST(LogConsole, NullFormatsContributeEmptyTextNotThePreviousLine) {
    const ChildResult child = runInChild([] {
        const char* const noFormat = nullptr;
        logLine(kInf, "src/A", "first", 1, "first message\n");
        LogPrint(noFormat, "", "src/B", "second", 2, "only the message\n");
        LogPrint(kWrn, "", "src/C", "third", 3, noFormat);
        LogPrint(noFormat, "", "src/D", "fourth", 4, noFormat);
        LogPrint(noFormat, "", "src/E", "fifth", 5, "|\n");
    });

    EXPECT_EQ(
        "[   vorna  ][ src/A first 1] INF: first message\n"
        "only the message\n"
        "[   vorna  ][ src/C third 3] WRN: "
        "|\n",
        child.out);
}

TEST(LogConsole, MarkerIsDroppedOnlyWhenThePrefixReallyStartsWithOne) {
    const ChildResult child = runInChild([] {
        const char* const prefixes[] = {"<", "<1", "ab", "<x>y", "<12>", "<1>", "<9>nine"};
        for (const char* prefix : prefixes)
            LogPrint(prefix, "", "", "", 0, "|\n");
        LogPrint(nullptr, "", "", "", 0, "<3>message markers stay\n");
    });

    EXPECT_EQ("<|\n<1|\nab|\n<x>y|\n<12>|\n|\nnine|\n<3>message markers stay\n", child.out);
}

TEST(LogConsole, MessagesAreCutTo254Characters) {
    const std::string fits(254, 'm');
    const std::string tooLong(400, 'n');
    const ChildResult child = runInChild([&] {
        LogPrint(nullptr, "", "", "", 0, "%s", fits.c_str());
        LogPrint(nullptr, "", "", "", 0, "|\n");
        LogPrint(nullptr, "", "", "", 0, "%s", (fits + "x").c_str());
        LogPrint(nullptr, "", "", "", 0, "|\n");
        logLine(kErr, "src/Long", "cut", 9, tooLong.c_str());
        LogPrint(nullptr, "", "", "", 0, "|\n");
    });

    EXPECT_EQ(
        fits + "|\n" + fits + "|\n" + "[   vorna  ][ src/Long cut 9] ERR: " + tooLong.substr(0, 254) + "|\n",
        child.out);
}

TEST(LogConsole, PrefixesAreCutTo62Characters) {
    // With an empty path the prefix below is this long; the paths then bring it to 62, 63 and far beyond.
    const std::string shortest = "<1>[   vorna  ][  fn 7] INF: ";
    const std::string fitting(62 - shortest.size(), 'p');
    const std::string oneTooMany(63 - shortest.size(), 'q');
    const std::string veryLong(120, 'r');
    const ChildResult child = runInChild([&] {
        for (const std::string& path : {fitting, oneTooMany, veryLong})
            logLine(kInf, path.c_str(), "fn", 7, "|\n");
    });

    std::string expected;
    for (const std::string& path : {fitting, oneTooMany, veryLong}) {
        const std::string prefix = "<1>[   vorna  ][ " + path + " fn 7] INF: ";
        expected += prefix.substr(3, 62 - 3) + "|\n";
    }
    ASSERT_EQ(62u, ("<1>[   vorna  ][ " + fitting + " fn 7] INF: ").size());
    EXPECT_EQ(expected, child.out);
}

TEST(LogConsole, LinesFromManyThreadsStayWhole) {
    const int kThreads = 4;
    const int kLines = 100;
    const ChildResult child = runInChild([&] {
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([t] {
                const std::string path = "src/T" + std::to_string(t);
                for (int i = 0; i < kLines; ++i)
                    LogPrint(kInf, "", path.c_str(), "worker", i, "line %d-%d\n", t, i);
            });
        }
        for (std::thread& writer : writers)
            writer.join();
    });

    std::vector<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            expected.push_back("[   vorna  ][ src/T" + std::to_string(t) + " worker " + std::to_string(i) +
                               "] INF: line " + std::to_string(t) + "-" + std::to_string(i));
        }
    }
    std::vector<std::string> printed;
    std::istringstream lines(child.out);
    for (std::string line; std::getline(lines, line);)
        printed.push_back(line);
    std::sort(expected.begin(), expected.end());
    std::sort(printed.begin(), printed.end());
    EXPECT_EQ(0, child.status);
    EXPECT_EQ(expected, printed);
}

TEST(LogFile, FileKeepsTheMarkerAndTheEchoShowsTheLineWithoutIt) {
    const std::string path = logPath("log");
    const ChildResult child = runInChild([&] {
        EchoCapture echo;
        LogInit(path.c_str());
        LogPrint(kErr, "", "src/Connection", "connect", 42, "connect failed(%d)\n", 111);
        logLine(kShmWrn, "src/ShareMemory", "data", 8, "second\n");
        echo.handBack(echo.readLines(2));
    });

    EXPECT_EQ(0, child.status);
    EXPECT_EQ(
        "[   vorna  ][ src/Connection connect 42] ERR: connect failed(111)\n"
        "[xxxxxxxxxx][ src/ShareMemory data 8] WRN: second\n",
        child.out);
    EXPECT_EQ(
        "<3>[   vorna  ][ src/Connection connect 42] ERR: connect failed(111)\n"
        "<2>[xxxxxxxxxx][ src/ShareMemory data 8] WRN: second\n",
        readFile(path));
    unlink(path.c_str());
}

TEST(LogFile, CutPrefixAndMessageAreStoredAndEchoedAsOneLine) {
    const std::string path = logPath("log");
    const std::string longPath(100, 'p');
    const std::string longMessage(400, 'm');
    const ChildResult child = runInChild([&] {
        EchoCapture echo;
        LogInit(path.c_str());
        logLine(kInf, longPath.c_str(), "fn", 1, longMessage.c_str());
        LogPrint(nullptr, "", "", "", 0, "|\n");
        echo.handBack(echo.readLines(1));
    });

    const std::string line =
        ("<1>[   vorna  ][ " + longPath).substr(0, 62) + longMessage.substr(0, 254) + "|\n";
    EXPECT_EQ(line, readFile(path));
    EXPECT_EQ(line.substr(3), child.out);
    unlink(path.c_str());
}

TEST(LogFile, NullFormatsAndShortLinesAreEchoedAsWritten) {
    const std::string path = logPath("log");
    const ChildResult child = runInChild([&] {
        EchoCapture echo;
        LogInit(path.c_str());
        logLine(kInf, "src/A", "first", 1, "first message\n");
        LogPrint(nullptr, "", "", "", 0, "ab\n");
        LogPrint(kWrn, "", "src/C", "third", 3, nullptr);
        LogPrint(nullptr, "", "", "", 0, "\n");
        LogPrint(nullptr, "", "", "", 0, nullptr);
        LogPrint(nullptr, "", "", "", 0, "<\n");
        LogPrint(nullptr, "", "", "", 0, "<1\n");
        LogPrint(nullptr, "", "", "", 0, "<7>seven\n");
        echo.handBack(echo.readLines(6));
    });

    EXPECT_EQ(
        "<1>[   vorna  ][ src/A first 1] INF: first message\n"
        "ab\n"
        "<2>[   vorna  ][ src/C third 3] WRN: \n"
        "<\n"
        "<1\n"
        "<7>seven\n",
        readFile(path));
    EXPECT_EQ(
        "[   vorna  ][ src/A first 1] INF: first message\n"
        "ab\n"
        "[   vorna  ][ src/C third 3] WRN: \n"
        "<\n"
        "<1\n"
        "seven\n",
        child.out);
    unlink(path.c_str());
}

TEST(LogFile, SecondLogInitKeepsTheFirstFile) {
    const std::string first = logPath("first");
    const std::string second = logPath("second");
    const ChildResult child = runInChild([&] {
        EchoCapture echo;
        LogInit(first.c_str());
        LogInit(second.c_str());
        logLine(kInf, "src/A", "once", 1, "echoed once\n");
        LogPrint(nullptr, "", "", "", 0, "end\n");
        echo.handBack(echo.readLines(2));
    });

    EXPECT_EQ("[   vorna  ][ src/A once 1] INF: echoed once\nend\n", child.out);
    EXPECT_EQ("<1>[   vorna  ][ src/A once 1] INF: echoed once\nend\n", readFile(first));
    EXPECT_NE(0, access(second.c_str(), F_OK)) << "the second LogInit created its file";
    unlink(first.c_str());
    unlink(second.c_str());
}

TEST(LogFile, FailedLogInitsKeepTheConsoleAndALaterOneEchoesEveryLineOnceInOrder) {
    const std::string path = logPath("log");
    const int kBursts = 10;
    const int kBurstLines = 100;
    const ChildResult child = runInChild([&] {
        EchoCapture echo;
        for (int attempt = 0; attempt < 3; ++attempt)
            LogInit("/nonexistent-directory/vorna.log");
        logLine(kErr, "src/A", "console", 1, "still on the console\n");
        LogInit(path.c_str());
        // Bursts long enough for the echo to be busy when its next poll comes due.
        for (int burst = 0; burst < kBursts; ++burst) {
            for (int i = burst * kBurstLines; i < (burst + 1) * kBurstLines; ++i)
                LogPrint(kInf, "", "src/B", "file", i, "line %d\n", i);
            echo.readLines(1 + (burst + 1) * kBurstLines);
        }
        echo.handBack(echo.readLines(1 + kBursts * kBurstLines));
    });

    std::string echoed = "[   vorna  ][ src/A console 1] ERR: still on the console\n";
    std::string stored;
    for (int i = 0; i < kBursts * kBurstLines; ++i) {
        const std::string line =
            "[   vorna  ][ src/B file " + std::to_string(i) + "] INF: line " + std::to_string(i) + "\n";
        echoed += line;
        stored += "<1>" + line;
    }
    EXPECT_EQ(0, child.status) << child.err;
    EXPECT_TRUE(echoed == child.out) << firstDifference(echoed, child.out);
    EXPECT_TRUE(stored == readFile(path)) << firstDifference(stored, readFile(path));
    unlink(path.c_str());
}

// ---- Level threshold and writer ----

// One line of each level, and one without a level.
void logEveryLevel() {
    const char* const prefixes[] = {kInf, kWrn, kErr, kBug};
    for (int level = 1; level <= 4; ++level)
        LogPrint(prefixes[level - 1], "", "src/L", "level", level, "level %d\n", level);
    LogPrint(nullptr, "", "", "", 0, "unmarked\n");
}

std::string everyLevelFrom(int threshold) {
    const char* const words[] = {"INF", "WRN", "ERR", "BUG"};
    std::string text;
    for (int level = std::max(threshold, 1); level <= 4; ++level) {
        text += std::string("[   vorna  ][ src/L level ") + std::to_string(level) + "] " + words[level - 1] +
                ": level " + std::to_string(level) + "\n";
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
    const struct {
        const char* value;
        int threshold;
    } cases[] = {{"warning", 2}, {"ERROR", 3}, {"bug", 4},  {"info", 1},
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
                setenv("VORNA_LOG_LEVEL", c.value, 1);
                execvp(argv[0], argv.data());
                _exit(127);
            },
            60000);
        EXPECT_EQ(0, child.status) << c.value << ": " << child.err;
        const std::string expected = everyLevelFrom(c.threshold);
        EXPECT_NE(std::string::npos,
                  child.out.find("[ RUN      ] LogLevel.DISABLED_EnvironmentProbe\n" + expected))
            << "VORNA_LOG_LEVEL=" << c.value << " should print\n"
            << expected << "but printed\n"
            << child.out;
    }
}

struct WrittenLine {
    int level;
    std::string line;
    int len;
};

void collectLine(void* ctx, int level, const char* line, int len) {
    static_cast<std::vector<WrittenLine>*>(ctx)->push_back({level, line, len});
}

TEST(LogWriter, WriterGetsWholeMarkedLinesOfTheKeptLevelsFromConcurrentThreadsInsteadOfTheConsole) {
    const int kThreads = 4;
    const int kLines = 200;
    const ChildResult child = runInChild([&] {
        std::vector<WrittenLine> written;
        LogSetLevel(3);
        LogSetWriter(collectLine, &written);
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([t] {
                const char* const prefixes[] = {kInf, kWrn, kErr, kBug};
                for (int i = 0; i < kLines; ++i)
                    LogPrint(prefixes[i % 4], "", "src/W", "writer", t, "line %d\n", i);
            });
        }
        for (std::thread& writer : writers)
            writer.join();
        LogSetWriter(nullptr, nullptr);
        LogPrint(kBug, "", "src/W", "console", 0, "back on the console\n");
        for (const WrittenLine& line : written)
            printf("%d %d %s", line.level, line.len, line.line.c_str());
    });

    std::vector<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            if (i % 4 < 2)
                continue;
            const std::string line = std::string(i % 4 == 2 ? "<3>[   vorna  ][ src/W writer "
                                                            : "<4>[   vorna  ][ src/W writer ") +
                                     std::to_string(t) + (i % 4 == 2 ? "] ERR: " : "] BUG: ") + "line " +
                                     std::to_string(i);
            expected.push_back(std::to_string(i % 4 + 1) + " " + std::to_string(line.size() + 1) + " " +
                               line);
        }
    }
    std::istringstream lines(child.out);
    std::string first;
    std::getline(lines, first);
    EXPECT_EQ("[   vorna  ][ src/W console 0] BUG: back on the console", first);
    std::vector<std::string> written;
    for (std::string line; std::getline(lines, line);)
        written.push_back(line);
    std::sort(expected.begin(), expected.end());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(expected, written);
}

// ---- Over-long messages ----

TEST(LogLongLines, ACutMessageThatEndedWithANewlineKeeps253CharactersAndTheNewline) {
    const std::string path = logPath("log");
    const std::string body(300, 'x');
    const std::string kept253 = body.substr(0, 253) + "\n";
    const struct {
        std::string message;  // passed through "%s"
        std::string stored;
    } cases[] = {
        {body + "\n", kept253},
        {body.substr(0, 254) + "\n", kept253},  // 255 characters: one too many
        {body.substr(0, 253) + "\n", kept253},  // fits
        {body.substr(0, 254), body.substr(0, 254)},
        {body, body.substr(0, 254)},  // no newline to keep
    };
    for (bool toFile : {false, true}) {
        const ChildResult child = runInChild([&] {
            EchoCapture echo;
            if (toFile)
                LogInit(path.c_str());
            for (const auto& c : cases)
                LogPrint(nullptr, "", "", "", 0, "%s", c.message.c_str());
            // A format that ends in a newline, with an argument that makes the message too long.
            LogPrint(nullptr, "", "", "", 0, "%s\n", body.c_str());
            LogPrint(nullptr, "", "", "", 0, "end\n");
            echo.handBack(echo.readLines(5));
        });
        std::string expected;
        for (const auto& c : cases)
            expected += c.stored;
        expected += kept253 + "end\n";
        EXPECT_TRUE(expected == child.out)
            << (toFile ? "echo: " : "console: ") << firstDifference(expected, child.out);
        if (toFile) {
            EXPECT_TRUE(expected == readFile(path)) << "file: " << firstDifference(expected, readFile(path));
        }
    }
    unlink(path.c_str());
}

// ---- Bounded log file ----

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
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        int i = -1;
        int t = -1;
        ASSERT_EQ(2,
                  sscanf(line.c_str(), "[   vorna  ][ src/R rotate %*d] INF: line %d of writer %d", &i, &t))
            << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(next[t]++, i) << "writer " << t << " out of order or repeated";
    }
    EXPECT_EQ(kThreads * kLines, count);

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
    std::istringstream echoed(child.out);
    std::vector<std::string> all;
    for (std::string line; std::getline(echoed, line);)
        all.push_back("<1>" + line + "\n");
    for (size_t i = all.size(); i-- > 0 && echoedTail.size() < kept.size();)
        echoedTail = all[i] + echoedTail;
    EXPECT_TRUE(kept == echoedTail) << firstDifference(echoedTail, kept);
}

TEST(VsnPrinter, EightByteBufferKeepsSixCharactersAndReturnsTheWholeLength) {
    char buffer[8];
    memset(buffer, 'x', sizeof(buffer));

    EXPECT_EQ(10, VsnPrinter::printf(buffer, sizeof(buffer), "%s", "0123456789"));
    EXPECT_STREQ("012345", buffer);
    EXPECT_EQ('x', buffer[7]);
}

TEST(VsnPrinter, FormatsItsArgumentsWhenTheyFit) {
    char buffer[32];

    EXPECT_EQ(9, VsnPrinter::printf(buffer, sizeof(buffer), "%d-%s-%c", -42, "abc", 'z'));
    EXPECT_STREQ("-42-abc-z", buffer);
}

TEST(VsnPrinter, SizeZeroWritesNothingAndReturnsTheLength) {
    char buffer[4];
    memset(buffer, 'x', sizeof(buffer));

    EXPECT_EQ(10, VsnPrinter::printf(buffer, 0, "%s", "0123456789"));
    EXPECT_EQ(std::string(4, 'x'), std::string(buffer, sizeof(buffer)));
    EXPECT_EQ(3, VsnPrinter::printf(nullptr, 0, "%d", 123));
}

TEST(VsnPrinter, SizeOneAndTwoStoreAnEmptyString) {
    for (unsigned size : {1u, 2u}) {
        char buffer[5] = "xxxx";

        EXPECT_EQ(5, VsnPrinter::printf(buffer, size, "%s", "abcde")) << "size " << size;
        EXPECT_STREQ("", buffer) << "size " << size;
        EXPECT_EQ('x', buffer[size]) << "size " << size;
    }
}

}  // namespace
