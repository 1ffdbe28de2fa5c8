// Runs the vorna-msg tool as a user would: each command in a child process, its output kept in files.

#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/child.h"
#include "support/peers.h"

// A build without the tool has nothing to test here.
#ifdef VORNA_MSG_PATH
#include "socket_table.h"

namespace {

using namespace testing_support;
using namespace testing;

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// Generous: under qemu-arm every start of the tool costs a good part of a second.
constexpr int kToolTimeoutMs = 30000;

// The tool promises to end within 100 ms of Ctrl-C or SIGTERM. A loaded machine and qemu-arm (which also
// tears the emulated process down) add to that, and under the sanitizers the leak check at exit alone takes
// 300 to 500 ms on a machine running a dozen jobs on its two cores. The margins keep the test green there
// and still catch a tool that ignores the signal until some other event (a response, a server that goes,
// a timeout of a minute). Measured on the host: 2 to 20 ms, with rare outliers near 100 ms under load.
constexpr int kStopBoundMs = 100;
constexpr int kStopMarginMs = kSanitized ? 2900 : sizeof(void*) == 4 ? 900 : 400;  // qemu-arm is slower

// The non-empty parts of `text` between separators: the words of a command line, the lines of an output.
std::vector<std::string> split(const std::string& text, char separator = ' ') {
    std::vector<std::string> parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

// Runs the tool (in a cross build through the emulator), each "NAME" among `args` replaced by `name`.
void execTool(const std::vector<std::string>& args, const std::string& name) {
    std::vector<std::string> words = split(VORNA_MSG_EMULATOR " " VORNA_MSG_PATH);
    for (const std::string& arg : args)
        words.push_back(arg == "NAME" ? name : arg);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// One run of the tool, its output captured.
class Tool : public ChildProcess {
  public:
    explicit Tool(const std::vector<std::string>& args, const std::string& name = "")
        : ChildProcess([args, name] { execTool(args, name); }, CAPTURE) {}

    // Waits until standard output holds `text` `count` times.
    bool waitForOutput(const std::string& text, size_t count = 1) {
        return waitUntil([&] { return occurrences(out(), text) >= count; }, kToolTimeoutMs);
    }
    int finish(int timeoutMs = kToolTimeoutMs) { return ChildProcess::finish(timeoutMs); }
};

ChildResult runTool(const std::vector<std::string>& args, const std::string& name = "",
                    int timeoutMs = kToolTimeoutMs) {
    Tool tool(args, name);
    const int status = tool.finish(timeoutMs);
    return {status, tool.out(), tool.err()};
}

// How often the process's main thread has gone to sleep in the kernel; -1 once it has ended. The tool
// waits in timed slices and pauses between connect attempts without a word on its output: this count
// shows that it waits.
long sleepsOf(pid_t pid) {
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    std::smatch sleeps;
    const bool alive = std::regex_search(status, std::regex("\nState:\\s+[^Z]"));
    return alive && std::regex_search(status, sleeps, std::regex("\nvoluntary_ctxt_switches:\\s+([0-9]+)"))
               ? std::stol(sleeps[1])
               : -1;
}

bool waitForSleeps(pid_t pid, long count) {
    const long start = sleepsOf(pid);
    waitUntil([&] { return sleepsOf(pid) < 0 || sleepsOf(pid) >= start + count; }, kToolTimeoutMs);
    return start >= 0 && sleepsOf(pid) >= start + count;
}

// A serve command that is up: its "serving on" line has been written.
class Server : public Tool {
  public:
    Server(const std::vector<std::string>& args, const std::string& name) : Tool(args, name) {
        EXPECT_TRUE(waitForOutput("serving on")) << "the server did not start:\n" << out() << err();
    }
    // Ctrl-C (once the server has seen `clientsGone` clients go: it tells it on its own thread), then the
    // exit status.
    int stop(size_t clientsGone = 0) {
        EXPECT_TRUE(clientsGone == 0 || waitForOutput(" disconnected\n", clientsGone)) << out();
        kill(SIGINT);
        return finish();
    }
};

// The output with the clock times masked ("T") and `name` shown as NAME.
std::string masked(const std::string& out, const std::string& name) {
    std::string text = std::regex_replace(out, std::regex(R"((^|\n)\d\d:\d\d:\d\d\.\d{3} )"), "$1T ");
    text = std::regex_replace(text, std::regex(R"("time_us":[1-9][0-9]*)"), "\"time_us\":T");
    for (size_t at = text.find(name); !name.empty() && at != std::string::npos; at = text.find(name, at))
        text.replace(at, name.size(), "NAME");
    return text;
}

// The value of `key` in `line`, which must be one flat JSON object as the tool writes them ("<invalid>"
// when it is not, "<missing>" without the key). Strings keep their quotes and escapes.
std::string jsonField(const std::string& line, const std::string& key) {
    const std::string value =
        R"(("(?:[^"\\\x00-\x1f]|\\["\\/bfnrt]|\\u[0-9a-fA-F]{4})*"|-?[0-9][0-9.eE+-]*|true|false|null))";
    const std::string pair = R"("[a-z_0-9]+":)" + value;
    if (!std::regex_match(line, std::regex("\\{(" + pair + "(," + pair + ")*)?\\}")))
        return "<invalid>";
    std::smatch found;
    if (!std::regex_search(line, found, std::regex("[{,]\"" + key + "\":" + value)))
        return "<missing>";
    return found[1];
}

// A call prints the response, a listener the notifications up to its count; the server logs the traffic.
TEST(VornaMsgTest, CallAndListenPrintWhatTheServerSendsAsTextHexOrJsonAndServeLogsIt) {
    const struct {
        std::string serve;  // after "serve NAME"
        std::string client;
        std::string out;
        std::string logged;  // the server's line for it
    } cases[] = {
        {"", "call NAME hello", "hello\n", " client 1 request, 5 bytes: \"hello\"\n"},
        {"", "call NAME a\\x00\\xff\\n",
         "00000000  61 00 ff 0a                                       |a...|\n",
         " client 1 request, 4 bytes: 61 00 ff 0a\n"},
        {"--reply 0123456789abcdefXY", "call NAME anything --hex",
         "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
         "00000010  58 59                                             |XY|\n",
         " client 1 request, 8 bytes: \"anything\"\n"},
        {"", "call NAME x --quiet", "x\n", " client 1 request, 1 byte: \"x\"\n"},
        {"", "call NAME say\\t\"hi\"\\n --json",
         "{\"kind\":\"response\",\"length\":9,\"hex\":\"73617909226869220a\",\"text\":"
         "\"say\\u0009\\\"hi\\\"\\u000a\"}\n",
         " client 1 request, 9 bytes: \"say\\t\\\"hi\\\"\\n\"\n"},
        {"", "call NAME \\x00\\xff --json", "{\"kind\":\"response\",\"length\":2,\"hex\":\"00ff\"}\n",
         " client 1 request, 2 bytes: 00 ff\n"},
        {"--notify-every 50 --code 3 --value 4000000000", "listen NAME --count 2",
         "listening to 'NAME' (Ctrl-C stops)\nT code 3 value 4000000000\nT code 3 value 4000000000\n",
         " notified 1 client: code 3, value 4000000000\n"},
        {"--notify-every 50 --code 4 --data door\\x01", "listen NAME --count 1",
         "listening to 'NAME' (Ctrl-C stops)\nT code 4 data, 5 bytes: 64 6f 6f 72 01\n",
         " notified 1 client: code 4, data 64 6f 6f 72 01\n"},
        {"--notify-every 50 --code 9 --data a\"b\\\\\\x01", "listen NAME --count 1 --json --quiet",
         "{\"kind\":\"listening\",\"name\":\"NAME\"}\n"
         "{\"kind\":\"data\",\"time_us\":T,\"code\":9,\"length\":5,\"hex\":\"6122625c01\"}\n",
         " notified 1 client: code 9, data 61 22 62 5c 01\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.client);
        const std::string name = uniqueName("msg");
        Server server(split("serve NAME " + c.serve), name);

        const ChildResult result = runTool(split(c.client), name);

        EXPECT_EQ(0, result.status) << result.err;
        EXPECT_EQ(c.out, masked(result.out, name));
        // The library's own lines, unless quiet.
        const bool quiet = c.client.find("--quiet") != std::string::npos;
        EXPECT_THAT(result.err, quiet ? Matcher<std::string>(IsEmpty()) : HasSubstr("[   vorna  ]"));
        // The server writes its line after the send that the client already saw: wait for it.
        EXPECT_TRUE(server.waitForOutput(c.logged)) << server.out();
        EXPECT_EQ(130, server.stop(1));
        EXPECT_THAT(server.out(),
                    AllOf(HasSubstr(" client 1 connected\n"), HasSubstr(" client 1 disconnected\n"),
                          HasSubstr("stopping: stall\nstopped\n")));
    }
}

// Bad arguments end with status 2, no server (the library alone would retry for about ten seconds), no
// response or a name another server holds with 1, in time; help and the version with 0. A failure says
// why in one line.
TEST(VornaMsgTest, CommandsThatCannotGoOnEndInTimeWithTheirStatusAndOneLine) {
    struct Case {
        std::vector<std::string> args;
        int status = 2;
        std::string out = "";           // how standard output starts
        std::string err = "vorna-msg";  // how standard error starts
        bool nameHeld = false;          // by a server that never accepts
    };
    const std::string none = "no server is listening on 'NAME'\n";
    std::vector<Case> cases = {
        {split("call NAME hello"), 1, "", "vorna-msg call: " + none},
        {split("call NAME x --quiet"), 1, "", "vorna-msg call: " + none},
        {split("listen NAME --timeout 300"), 1, "", "vorna-msg listen: " + none},
        {split("call NAME x --timeout 300 --quiet"), 1, "",
         "vorna-msg call: no response from 'NAME' within 300 ms\n", true},
        {split("serve NAME"), 1, "", "vorna-msg serve: a server already listens on 'NAME'\n", true},
        {{"--help"}, 0, "usage: vorna-msg COMMAND [ARGUMENTS]\n", ""},
        {{"--version"}, 0, "vorna-msg " VORNA_VERSION "\n", ""},
        {{"call", "name", ""}},
    };
    for (const std::string& line : std::vector<std::string>{
             "", "frobnicate", "call name", "call name x --timeout soon", "call name bad\\q",
             "call " + std::string(108, 'n') + " x", "call name " + std::string(1025, 'x'),
             "serve name --notify-every 100", "serve name --value 3",
             "serve name --notify-every 100 --data " + std::string(256, 'd'), "listen name --count 0",
             "listen name extra", "listen name --timeout -1", "call name x --hex --json", "list extra",
             "list --hex", "bench --size 1025", "bench --frames", "demo now"})
        cases.push_back({split(line)});
    for (const std::string command : {"list", "serve", "call", "listen", "bench", "demo"})
        cases.push_back({{command, "--help"}, 0, "usage: vorna-msg " + command, ""});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const std::string name = uniqueName("msg-none");
        std::unique_ptr<RawServer> mute(c.nameHeld ? new RawServer(name) : nullptr);

        const ChildResult result = runTool(c.args, name, 5000 * (kStopMarginMs > 400 ? 3 : 1));

        EXPECT_EQ(c.status, result.status) << result.err;
        EXPECT_TRUE(c.out.empty() ? result.out.empty() : result.out.rfind(c.out, 0) == 0) << result.out;
        const std::string err = masked(result.err, name);
        EXPECT_TRUE(err.rfind(c.err, 0) == 0 && occurrences(err, "\n") == (c.status == 0 ? 0u : 1u)) << err;
    }
}

TEST(VornaMsgTest, DemoGoesThroughEveryStepAndExitsWithZero) {
    const ChildResult demo = runTool({"demo"});

    EXPECT_EQ(0, demo.status) << demo.out << demo.err;
    // The library's own lines ("src/Connection connect") narrate along.
    for (const char* step :
         {"server: callback \"connected\": client A accepted\n", "A: response \"21.5 C\"\n",
          "server: callback \"connected\": client B accepted\n", "demo: done\n",
          "B: response 01 02 00 fe ff 7f\n", "A: notification code 1, value 87\n",
          "A: notification code 2, data \"door 3 opened\"\n", "src/Connection connect",
          "server: callback \"disconnected\": client B hung up", "summary: 200 round trips, min ",
          "server: callback \"disconnected\": client A hung up"})
        EXPECT_THAT(demo.out, HasSubstr(step));
}

TEST(VornaMsgTest, BenchPrintsEveryModeBesideTheBaselineAsATableOrAsJson) {
    const ChildResult table = runTool({"bench", "--seconds", "1", "--clients", "2", "--size", "100"});
    EXPECT_EQ(0, table.status) << table.err;
    // Every mode in its row, the baseline's own ratio 1; not a terminal: no progress line.
    EXPECT_TRUE(
        std::regex_search(table.out, std::regex("^2 clients, 100-byte requests and responses, 1 s per "
                                                "mode\n[^\r]*\nraw socket [^\r\n]* 1\\.00x [^\r]*"
                                                "\ndirect [^\r]*\nnotifier [^\r]*$")))
        << table.out;
    EXPECT_THAT(table.err, Not(HasSubstr("\r")));

    const ChildResult json = runTool({"bench", "--seconds", "1", "--json"});
    ASSERT_EQ(0, json.status) << json.err;
    const std::vector<std::string> rows = split(json.out, '\n');
    ASSERT_EQ(3u, rows.size()) << json.out;
    const char* modes[] = {"\"raw socket\"", "\"direct\"", "\"notifier\""};
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(modes[i], jsonField(rows[i], "mode")) << rows[i];
        for (const char* figure : {"clients", "size", "seconds", "round_trips", "p50_us", "trips_per_s",
                                   "p50_vs_raw", "trips_per_s_vs_raw"})
            EXPECT_GT(std::stod("0" + jsonField(rows[i], figure)), 0) << figure << " in " << rows[i];
        EXPECT_GE(std::stod(jsonField(rows[i], "p99_us")), std::stod(jsonField(rows[i], "p50_us")))
            << rows[i];
    }
    EXPECT_EQ("1.000", jsonField(rows[0], "p50_vs_raw"));
}

TEST(VornaMsgTest, ListShowsRunningServersWithTheirProcessAndNotAStoppedOne) {
    const std::string name = uniqueName("msg-list");
    Server server({"serve", "NAME", "--quiet"}, name);
    // The kernel keeps at most 107 name bytes, the library's own limit, so only the socket table test can
    // show a marked name: the longest name a server can hold is listed whole and unmarked.
    const std::string longest = name + std::string(107 - name.size(), 'l');
    RawServer holder(longest);
    // A name that would forge a row and drive the terminal if it were printed raw.
    const std::string forged = "forged-" + name;
    RawServer spoof(name + "-x\n" + forged + "  1  /bin/true\x1b[2J");

    const ChildResult text = runTool({"list"});
    const ChildResult json = runTool({"list", "--json"});

    EXPECT_EQ(0, text.status) << text.err;
    EXPECT_EQ(0, json.status) << json.err;
    const std::string pid = std::to_string(server.pid());
    const std::string command = "[^\"\n]*serve " + name + " --quiet";
    EXPECT_TRUE(std::regex_search(text.out, std::regex("(^|\n)" + name + " +" + pid + "  " + command + "\n")))
        << text.out;
    for (const std::string& listed :
         {"\\{\"name\":\"" + name + "\",\"pid\":" + pid + ",\"command\":\"" + command,
          "\\{\"name\":\"" + longest + "\",\"pid\":[0-9]+,\"command\":\"[^\"\n]*"})
        EXPECT_TRUE(std::regex_search(json.out, std::regex("(^|\n)" + listed + "\",\"overlong\":false\\}\n")))
            << listed << " in\n"
            << json.out;
    for (const std::string& object : split(json.out, '\n'))
        EXPECT_NE("<invalid>", jsonField(object, "name")) << object;
#ifndef VORNA_TEST_EMULATED  // qemu-arm has no sock_diag: the tool reads /proc/net/unix, which can be fooled
    EXPECT_THAT(split(text.out, '\n'),
                AllOf(Contains(StartsWith(name + "-x\\x0a" + forged + "  1  /bin/true\\x1b[2J ")),
                      Not(Contains(StartsWith(forged)))));
#endif

    EXPECT_EQ(130, server.stop());
    EXPECT_THAT(split(runTool({"list"}).out, '\n'), Not(Contains(StartsWith(name + " "))))
        << "a stopped server is listed";
}

TEST(SocketTableTest, OnlyListeningStreamSocketsWithAbstractNamesAreServicesAndLongOnesAreMarked) {
    const std::string overlong(120, 'x');
    // A line of the table, whether it is a service, and the service's name.
    const std::tuple<std::string, bool, std::string> cases[] = {
        {"0000000000000000: 00000002 00000000 00010000 0001 01 4242 @sensors\n", true, "sensors"},
        {"0000000000000000: 00000002 00000000 00010000 0001 01 4243 @" + overlong + "\n", true, overlong},
        {"0000000000000000: 00000002 00000000 00010000 0001 01 4244 @a b@\n", true, "a b@"},
        {"0000000000000000: 00000003 00000000 00000000 0001 03 4245 @sensors\n", false, ""},  // connected
        {"0000000000000000: 00000002 00000000 00000000 0002 01 4246 @logger\n", false, ""},   // datagram
        {"0000000000000000: 00000002 00000000 00010000 0001 01 4247 /run/x.sock\n", false, ""},
        {"0000000000000000: 00000002 00000000 00010000 0001 01 4248\n", false, ""},  // unnamed
        {"Num       RefCount Protocol Flags    Type St Inode Path\n", false, ""},
    };
    for (const auto& [line, service, name] : cases) {
        ListeningSocket socket{"", 0};
        EXPECT_EQ(service, parseListeningSocket(line.c_str(), &socket)) << line;
        if (service) {
            EXPECT_EQ(name, socket.name) << line;
        }
        EXPECT_EQ(name.size() > 107, isOverlongName(name)) << line;
    }
}

// A stop signal ends each waiting command promptly with the shell's status; a call that has waited through
// several of its slices of waiting (signal 0 here) takes the response that comes then.
TEST(VornaMsgTest, StopSignalsEndEachWaitingCommandPromptlyAndALateResponseEndsACall) {
    const std::string call = "call NAME hello --timeout 60000";
    const std::string waiting = "listen NAME --timeout 60000";  // for a server that does not come
    struct Case {
        std::string command;
        int signal, status;
    };
    for (const Case& c :
         {Case{"listen NAME", SIGINT, 130}, Case{"listen NAME", SIGTERM, 143}, Case{call, SIGINT, 130},
          Case{call, SIGTERM, 143}, Case{call, 0, 0}, Case{waiting, SIGTERM, 143}}) {
        SCOPED_TRACE(c.command + " " + std::to_string(c.signal));
        const std::string name = uniqueName("msg-stop");
        std::unique_ptr<Server> server(c.command == "listen NAME" ? new Server({"serve", "NAME"}, name)
                                                                  : nullptr);
        std::unique_ptr<RawServer> mute(c.command == call ? new RawServer(name) : nullptr);
        Tool tool(split(c.command), name);
        RawStream client;
        if (server) {
            ASSERT_TRUE(tool.waitForOutput("listening to")) << tool.err();
            ASSERT_TRUE(server->waitForOutput(" client 1 connected\n")) << server->out();
        } else if (mute) {
            client = mute->accept(kToolTimeoutMs);
            ASSERT_EQ("hello", client.readExactly(5, kToolTimeoutMs)) << tool.err();
            ASSERT_TRUE(waitForSleeps(tool.pid(), 6)) << tool.err();
        } else {
            // Between its connect attempts.
            ASSERT_TRUE(waitForSleeps(tool.pid(), 3)) << tool.err();
        }

        const long long sent = nowMs();
        ASSERT_TRUE(c.signal != 0 || client.writeAll(responseFrame("late")));
        tool.kill(c.signal);
        const int status = tool.finish();
        const long long tookMs = nowMs() - sent;

        EXPECT_EQ(c.status, status) << tool.err();
        EXPECT_LE(tookMs, kStopBoundMs + kStopMarginMs);
        if (server) {
            // A clean disconnect: the server sees the client go.
            EXPECT_TRUE(server->waitForOutput(" client 1 disconnected\n")) << server->out();
            EXPECT_EQ(130, server->stop());
        } else if (c.signal == 0) {
            EXPECT_EQ("late\n", tool.out());
        }
    }
}

// Under a service manager, serve reports READY=1 once its name listens and STOPPING=1 at a stop signal,
// then stalls and ends promptly by that signal itself, which the manager counts as a clean stop and a shell
// as 143 or 130.
TEST(VornaMsgTest, ServeTellsTheServiceManagerWhenItListensAndEndsByTheStopSignal) {
    for (const int stop : {SIGTERM, SIGINT}) {
        const std::string name = uniqueName("msg-notify");
        const std::string target = (stop == SIGTERM ? "@" : "/tmp/") + name + ".manager";  // both kinds
        RawStream manager(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));  // the manager's end
        sockaddr_un address = {AF_UNIX, {}};
        memcpy(address.sun_path, target.data(), target.size());
        address.sun_path[0] = target[0] == '@' ? '\0' : target[0];
        ASSERT_EQ(0, bind(manager.fd(), reinterpret_cast<sockaddr*>(&address),
                          static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + target.size())));
        setenv("NOTIFY_SOCKET", target.c_str(), 1);
        Tool server({"serve", "NAME"}, name);
        unsetenv("NOTIFY_SOCKET");

        std::string states;
        EXPECT_TRUE(readSomeBefore(manager.fd(), &states, nowMs() + kToolTimeoutMs)) << server.err();
        EXPECT_TRUE(connectRawClient(name).isOpen()) << "ready before listening on " << target;
        const long long sent = nowMs();
        server.kill(stop);
        EXPECT_EQ(128 + stop, server.finish());
        EXPECT_LE(nowMs() - sent, kStopBoundMs + kStopMarginMs);
        EXPECT_TRUE(server.endedBySignal());
        EXPECT_THAT(server.out(), AllOf(HasSubstr("stopping: stall\n"), EndsWith("\nstopped\n")));
        EXPECT_TRUE(readSomeBefore(manager.fd(), &states, nowMs() + kToolTimeoutMs)) << server.err();
        EXPECT_EQ("READY=1STOPPING=1", states) << target;
        unlink(target.c_str());  // the path's file; nothing for an abstract name
    }
}

// Listeners that start before the server: one waits for it and leaves at its count, one reports the
// server's loss, one follows it across two restarts.
TEST(VornaMsgTest, ListenWaitsForTheServerAndReportsOrFollowsItsRestarts) {
    const std::string name = uniqueName("msg-restart");
    Tool early({"listen", "NAME", "--count", "1", "--timeout", "20000"}, name);
    Tool follow({"listen", "NAME", "--reconnect", "--timeout", "20000", "--quiet"}, name);
    // The server comes once the listeners have paused between a few connect attempts.
    ASSERT_TRUE(waitForSleeps(early.pid(), 3)) << early.err();
    const std::vector<std::string> serve = split("serve NAME --notify-every 50 --value 7 --quiet");
    std::unique_ptr<Server> server(new Server(serve, name));
    Tool once({"listen", "NAME"}, name);
    ASSERT_TRUE(once.waitForOutput("listening to")) << once.err();
    EXPECT_EQ(0, early.finish()) << early.err();
    EXPECT_THAT(early.out(), HasSubstr(" code 1 value 7\n"));
    // The failed tries before the server came leave no library lines: only the connect that worked.
    EXPECT_THAT(early.err(), Not(HasSubstr("ERR")));
    ASSERT_TRUE(follow.waitForOutput(" value 7\n")) << follow.out() << follow.err();

    for (size_t restart = 1; restart <= 2; ++restart) {
        EXPECT_EQ(130, server->stop());
        if (restart == 1) {
            EXPECT_EQ(1, once.finish());
            EXPECT_THAT(once.err(),
                        HasSubstr("vorna-msg listen: the connection to '" + name + "' was lost\n"));
        }
        ASSERT_TRUE(follow.waitForOutput("lost '" + name + "'", restart)) << follow.out() << follow.err();
        server.reset(new Server(serve, name));
        ASSERT_TRUE(follow.waitForOutput("'" + name + "' is back; listening again\n", restart))
            << follow.out();
        const size_t before = occurrences(follow.out(), " value 7\n");
        ASSERT_TRUE(follow.waitForOutput(" value 7\n", before + 1)) << follow.out();
    }

    follow.kill(SIGINT);
    EXPECT_EQ(130, follow.finish());
    EXPECT_EQ("", follow.err());
    EXPECT_EQ(130, server->stop());
}

}  // namespace

#endif
