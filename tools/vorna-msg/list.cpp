// vorna-msg list: the abstract names that processes on this machine serve.

#include <stdio.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "output.h"
#include "socket_table.h"

namespace {

const char kHelp[] =
    "usage: vorna-msg list [--json] [--quiet]\n"
    "\n"
    "Lists every abstract socket name on which a process of this machine listens for stream connections,\n"
    "sorted, one per line: the name, the serving process's id and its command line. The process shows as\n"
    "'-' where /proc does not let the caller see it (another user's process, without privileges). Names\n"
    "longer than 107 bytes are listed too and marked: no libvorna client can reach them. NUL bytes inside\n"
    "a name show as '@'; in text, other control bytes show as \\xHH and a backslash doubled, so that no\n"
    "name can forge a row or drive the terminal. The table comes from the kernel's sock_diag interface,\n"
    "or from /proc/net/unix where that is missing (under an emulator), which cannot tell a newline in a\n"
    "name from the end of a row.\n"
    "\n"
    "options:\n"
    "  --json    one JSON object per line: name, pid (0 when unknown), command, overlong\n"
    "  --quiet   accepted for symmetry with the other commands; list prints no library lines\n"
    "\n"
    "Exit status: 0, also when nothing listens; 1 when the socket table cannot be read; 2 for bad\n"
    "arguments.\n";

constexpr const char kOverlongMark[] = "(overlong: no libvorna client can reach it)";

struct ListOptions {
    bool json = false;
};

struct Service {
    std::string name;
    pid_t pid;  // 0: not visible
    std::string command;
    bool overlong() const { return isOverlongName(name); }
};

bool parseList(Arguments& args, ListOptions* options) {
    options->json = args.flag("--json");
    return args.finish();
}

std::vector<Service> findServices(const std::vector<ListeningSocket>& sockets) {
    const std::map<unsigned long, pid_t> owners = socketOwners();
    std::vector<Service> services;
    for (const ListeningSocket& socket : sockets) {
        auto owner = owners.find(socket.inode);
        const pid_t pid = owner == owners.end() ? 0 : owner->second;
        services.push_back({socket.name, pid, pid == 0 ? "" : processCommand(pid)});
    }
    std::sort(services.begin(), services.end(), [](const Service& a, const Service& b) {
        return a.name < b.name || (a.name == b.name && a.pid < b.pid);
    });
    return services;
}

void printText(const std::vector<Service>& services, ToolOutput& out) {
    size_t width = 0;
    for (const Service& service : services)
        width = std::max(width, escapedText(service.name).size());
    for (const Service& service : services) {
        const std::string name = escapedText(service.name);
        const std::string pid = service.pid == 0 ? "-" : std::to_string(service.pid);
        std::string row = name + std::string(width - name.size(), ' ') + "  " +
                          std::string(pid.size() < 7 ? 7 - pid.size() : 0, ' ') + pid + "  " +
                          escapedText(service.command);
        if (service.overlong())
            row += std::string(service.command.empty() ? "" : "  ") + kOverlongMark;
        while (!row.empty() && row.back() == ' ')
            row.pop_back();
        out.line(row);
    }
}

void printJson(const std::vector<Service>& services, ToolOutput& out) {
    for (const Service& service : services)
        out.json(JsonLine()
                     .text("name", service.name)
                     .number("pid", service.pid)
                     .text("command", service.command)
                     .flag("overlong", service.overlong()));
}

}  // namespace

int runList(int argc, char** argv) {
    Arguments args("list", argc, argv, {{"--json", false}, {"--quiet", false}});
    ListOptions options;
    int status;
    if (!readCommandLine(args, kHelp, parseList, &options, &status))
        return status;

    ToolOutput out(LibraryLog::kStdout);
    std::vector<ListeningSocket> sockets;
    if (!readListeningSockets(&sockets)) {
        perror("vorna-msg list: cannot read /proc/net/unix");
        return kExitFailure;
    }
    const std::vector<Service> services = findServices(sockets);
    if (options.json)
        printJson(services, out);
    else
        printText(services, out);
    return kExitOk;
}
