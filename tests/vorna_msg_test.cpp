// Runs the vorna-msg tool as a user would: each command in a child process, its output read from pipes.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"

namespace {

using testing_support::nowMs;
using testing_support::uniqueName;

// Generous: under qemu-arm every start of the tool costs a good part of a second.
constexpr int kToolTimeoutMs = 30000;

// The command line that starts the tool: in a cross build the emulator comes first.
std::vector<std::string> toolCommand(const std::vector<std::string>& args) {
    std::vector<std::string> command;
#ifdef VORNA_MSG_PATH
    std::istringstream emulator(VORNA_MSG_EMULATOR);
    for (std::string word; emulator >> word;)
        command.push_back(word);
    command.push_back(VORNA_MSG_PATH);
#endif
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

// One run of the tool with its standard output and standard error on pipes.
class Tool {
  public:
    explicit Tool(const std::vector<std::string>& args) {
        int outPipe[2];
        int errPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2 failed: " << strerror(errno);
            return;
        }
        const std::vector<std::string> command = toolCommand(args);
        mPid = fork();
        if (mPid == 0)
            execTool(command, outPipe[1], errPipe[1]);
        close(outPipe[1]);
        close(errPipe[1]);
        mOutFd = outPipe[0];
        mErrFd = errPipe[0];
    }

    ~Tool() {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        closePipes();
    }

    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;

    // Reads the output until standard output holds `text`; false when the deadline passes first or the
    // tool closes its output without writing it.
    bool waitForOutput(const std::string& text, int timeoutMs = kToolTimeoutMs) {
        const long long deadline = nowMs() + timeoutMs;
        while (mOut.find(text) == std::string::npos) {
            if (!readSome(deadline))
                return false;
        }
        return true;
    }

    void interrupt() { kill(mPid, SIGINT); }

    // Waits for the tool to end and returns its exit status; -1 (and a failure) when it does not end in
    // time.
    int finish(int timeoutMs = kToolTimeoutMs) {
        const long long deadline = nowMs() + timeoutMs;
        while (readSome(deadline)) {
        }
        int status = 0;
        while (waitpid(mPid, &status, WNOHANG) == 0) {
            if (nowMs() > deadline) {
                ADD_FAILURE() << "the tool did not end within " << timeoutMs << " ms; its output:\n"
                              << mOut << mErr;
                return -1;
            }
            usleep(1000);
        }
        mPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    const std::string& out() const { return mOut; }
    const std::string& err() const { return mErr; }

  private:
    [[noreturn]] static void execTool(const std::vector<std::string>& command, int outFd, int errFd) {
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        std::vector<char*> argv;
        for (const std::string& word : command)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }

    // Reads whatever either pipe has; false once both are closed or the deadline has passed.
    bool readSome(long long deadline) {
        return testing_support::readChildPipes(&mOutFd, &mErrFd, &mOut, &mErr, deadline);
    }

    void closePipes() {
        if (mOutFd >= 0)
            close(mOutFd);
        if (mErrFd >= 0)
            close(mErrFd);
        mOutFd = mErrFd = -1;
    }

    pid_t mPid = -1;
    int mOutFd = -1;
    int mErrFd = -1;
    std::string mOut;
    std::string mErr;
};

struct ToolResult {
    int status;
    std::string out;
    std::string err;
};

ToolResult runTool(const std::vector<std::string>& args, int timeoutMs = kToolTimeoutMs) {
    Tool tool(args);
    const int status = tool.finish(timeoutMs);
    return {status, tool.out(), tool.err()};
}

// A serve command that is up: its "serving on" line has been written.
class Server {
  public:
    explicit Server(std::vector<std::string> args) : mTool(prepend("serve", std::move(args))) {
        EXPECT_TRUE(mTool.waitForOutput("serving on")) << "the server did not start; its output:\n"
                                                       << mTool.out() << mTool.err();
    }

    // Ctrl-C, then the exit status.
    int stop() {
        mTool.interrupt();
        return mTool.finish();
    }
    Tool& tool() { return mTool; }

  private:
    static std::vector<std::string> prepend(const char* command, std::vector<std::string> args) {
        args.insert(args.begin(), command);
        return args;
    }

    Tool mTool;
};

class VornaMsgTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef VORNA_MSG_PATH
        GTEST_SKIP() << "the vorna-msg tool is not part of this build";
#endif
    }
};

TEST_F(VornaMsgTest, CallPrintsTheEchoOfATextRequestAndServeLogsTheTraffic) {
    const std::string name = uniqueName("msg-text");
    Server server({name});

    const ToolResult call = runTool({"call", name, "hello"});

    EXPECT_EQ(0, call.status) << call.err;
    EXPECT_EQ("hello\n", call.out);
    EXPECT_EQ(0, server.stop());
    const std::string& log = server.tool().out();
    EXPECT_NE(std::string::npos, log.find(" client 1 connected\n")) << log;
    EXPECT_NE(std::string::npos, log.find(" client 1 request, 5 bytes: \"hello\"\n")) << log;
    EXPECT_NE(std::string::npos, log.find(" client 1 disconnected\n")) << log;
    EXPECT_NE(std::string::npos, log.find("stopping: stall\nstopped\n")) << log;
}

TEST_F(VornaMsgTest, CallSendsBinaryBytesAndDumpsTheBinaryEcho) {
    const std::string name = uniqueName("msg-binary");
    Server server({name});

    const ToolResult call = runTool({"call", name, "a\\x00\\xff\\n"});

    EXPECT_EQ(0, call.status) << call.err;
    EXPECT_EQ("00000000  61 00 ff 0a                                       |a...|\n", call.out);
    EXPECT_EQ(0, server.stop());
    EXPECT_NE(std::string::npos, server.tool().out().find(" request, 4 bytes: 61 00 ff 0a\n"))
        << server.tool().out();
}

TEST_F(VornaMsgTest, CallWithHexDumpsATextReplyOfTheServer) {
    const std::string name = uniqueName("msg-hex");
    Server server({name, "--reply", "0123456789abcdefXY"});

    const ToolResult call = runTool({"call", name, "anything", "--hex"});

    EXPECT_EQ(0, call.status) << call.err;
    EXPECT_EQ(
        "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
        "00000010  58 59                                             |XY|\n",
        call.out);
    EXPECT_EQ(0, server.stop());
}

TEST_F(VornaMsgTest, ListenPrintsPushedValueNotificationsUntilItsCount) {
    const std::string name = uniqueName("msg-value");
    Server server({name, "--notify-every", "50", "--code", "3", "--value", "4000000000"});

    const ToolResult listen = runTool({"listen", name, "--count", "2"});

    EXPECT_EQ(0, listen.status) << listen.err;
    std::istringstream lines(listen.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ("listening to '" + name + "' (Ctrl-C stops)", line);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(std::getline(lines, line)) << "notification " << i + 1 << " was not printed:\n"
                                               << listen.out;
        EXPECT_EQ(" code 3 value 4000000000", line.substr(line.find(" "))) << line;
    }
    EXPECT_FALSE(std::getline(lines, line)) << "printed past its count: " << line;
    EXPECT_EQ(0, server.stop());
}

TEST_F(VornaMsgTest, ListenPrintsPushedDataNotifications) {
    const std::string name = uniqueName("msg-data");
    Server server({name, "--notify-every", "50", "--code", "4", "--data", "door\\x01"});

    const ToolResult listen = runTool({"listen", name, "--count", "1"});

    EXPECT_EQ(0, listen.status) << listen.err;
    EXPECT_NE(std::string::npos, listen.out.find(" code 4 data, 5 bytes: 64 6f 6f 72 01\n")) << listen.out;
    EXPECT_EQ(0, server.stop());
    EXPECT_NE(std::string::npos,
              server.tool().out().find(" notified 1 client: code 4, data 64 6f 6f 72 01\n"))
        << server.tool().out();
}

TEST_F(VornaMsgTest, ListenReportsAServerThatGoesAway) {
    const std::string name = uniqueName("msg-lost");
    Server server({name});
    Tool listen({"listen", name});
    ASSERT_TRUE(listen.waitForOutput("listening to")) << listen.err();
    ASSERT_TRUE(server.tool().waitForOutput("client 1 connected")) << server.tool().out();

    EXPECT_EQ(0, server.stop());

    EXPECT_EQ(1, listen.finish());
    EXPECT_NE(std::string::npos,
              listen.err().find("vorna-msg listen: the connection to '" + name + "' was lost\n"))
        << listen.err();
}

TEST_F(VornaMsgTest, CallWithoutServerFailsAtOnceWithOneLine) {
    const std::string name = uniqueName("msg-none");

    // The library alone would retry for about ten seconds.
    const ToolResult call = runTool({"call", name, "hello"}, 5000);

    EXPECT_EQ(1, call.status);
    EXPECT_EQ("", call.out);
    EXPECT_EQ("vorna-msg call: no server is listening on '" + name + "'\n", call.err);
}

TEST_F(VornaMsgTest, CallGivesUpWhenNoResponseComesWithinItsTimeout) {
    // A server that never accepts: the connection waits in its backlog and nothing ever answers.
    const std::string name = uniqueName("msg-mute");
    const int mute = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.data(), name.size());
    ASSERT_EQ(0, bind(mute, reinterpret_cast<sockaddr*>(&address), static_cast<socklen_t>(name.size() + 3)));
    ASSERT_EQ(0, listen(mute, 4));

    const ToolResult call = runTool({"call", name, "hello", "--timeout", "300"});
    close(mute);

    EXPECT_EQ(1, call.status);
    EXPECT_EQ("", call.out);
    EXPECT_NE(std::string::npos,
              call.err.find("vorna-msg call: no response from '" + name + "' within 300 ms\n"))
        << call.err;
}

TEST_F(VornaMsgTest, ServeRefusesANameAnotherServerHolds) {
    const std::string name = uniqueName("msg-taken");
    Server first({name});

    const ToolResult second = runTool({"serve", name});

    EXPECT_EQ(1, second.status);
    EXPECT_EQ("vorna-msg serve: a server already listens on '" + name + "'\n", second.err);
    EXPECT_EQ(0, first.stop());
}

TEST_F(VornaMsgTest, BadArgumentsEndWithOneLineAndStatusTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"call", "name"},
        {"call", "name", ""},
        {"call", "name", "x", "--timeout", "soon"},
        {"call", "name", "bad\\q"},
        {"call", std::string(108, 'n'), "x"},
        {"call", "name", std::string(1025, 'x')},
        {"serve", "name", "--notify-every", "100"},
        {"serve", "name", "--value", "3"},
        {"serve", "name", "--notify-every", "100", "--data", std::string(256, 'd')},
        {"listen", "name", "--count", "0"},
        {"listen", "name", "extra"},
        {"bench", "--size", "1025"},
        {"bench", "--frames"},
        {"demo", "now"},
    };
    for (const std::vector<std::string>& args : cases) {
        const ToolResult result = runTool(args);
        std::string shown;
        for (const std::string& arg : args)
            shown += " " + arg.substr(0, 20);
        EXPECT_EQ(2, result.status) << "vorna-msg" << shown;
        EXPECT_EQ("", result.out) << "vorna-msg" << shown;
        EXPECT_EQ(0u, result.err.rfind("vorna-msg", 0)) << "vorna-msg" << shown << ": " << result.err;
        EXPECT_EQ(result.err.size() - 1, result.err.find('\n')) << "vorna-msg" << shown << ": " << result.err;
    }
}

TEST_F(VornaMsgTest, HelpOfTheToolAndOfEachCommandExitsWithZero) {
    const ToolResult tool = runTool({"--help"});
    EXPECT_EQ(0, tool.status);
    EXPECT_EQ(0u, tool.out.rfind("usage: vorna-msg COMMAND [ARGUMENTS]\n", 0)) << tool.out;
    for (const char* command : {"serve", "call", "listen", "bench", "demo"}) {
        const ToolResult help = runTool({command, "--help"});
        EXPECT_EQ(0, help.status) << command;
        const std::string usage = std::string("usage: vorna-msg ") + command;
        EXPECT_EQ(0u, help.out.rfind(usage, 0)) << help.out;
        EXPECT_EQ("", help.err) << command;
    }
}

TEST_F(VornaMsgTest, DemoGoesThroughEveryStepAndExitsWithZero) {
    const ToolResult demo = runTool({"demo"});

    EXPECT_EQ(0, demo.status) << demo.out << demo.err;
    for (const char* step : {
             "server: callback \"connected\": client A accepted\n",
             "server: callback \"connected\": client B accepted\n",
             "A: response \"21.5 C\"\n",
             "B: response 01 02 00 fe ff 7f\n",
             "A: notification code 1, value 87\n",
             "A: notification code 2, data \"door 3 opened\"\n",
             "server: callback \"disconnected\": client B hung up",
             "summary: 200 round trips, min ",
             "server: callback \"disconnected\": client A hung up",
             "demo: done\n",
         })
        EXPECT_NE(std::string::npos, demo.out.find(step)) << "missing: " << step << "\n" << demo.out;
    // The library's own lines narrate along.
    EXPECT_NE(std::string::npos, demo.out.find("src/Connection connect")) << demo.out;
}

TEST_F(VornaMsgTest, BenchPrintsATableOfEveryModeBesideTheBaseline) {
    const ToolResult bench = runTool({"bench", "--seconds", "1", "--clients", "2", "--size", "100"});

    EXPECT_EQ(0, bench.status) << bench.out << bench.err;
    EXPECT_NE(std::string::npos, bench.out.find("2 clients, 100-byte requests and responses, 1 s per mode\n"))
        << bench.out;
    for (const char* mode : {"\nraw socket ", "\ndirect ", "\nnotifier "})
        EXPECT_NE(std::string::npos, bench.out.find(mode)) << "no row for" << mode << "\n" << bench.out;
    EXPECT_NE(std::string::npos, bench.out.find(" 1.00x ")) << "the baseline's own ratio\n" << bench.out;
    // Not a terminal: no progress line.
    EXPECT_EQ(std::string::npos, bench.out.find('\r'));
    EXPECT_EQ(std::string::npos, bench.err.find('\r'));
}

}  // namespace
