// vorna-msg: a command-line client, test server and benchmark for libvorna's local-socket messaging.

#include <stdio.h>
#include <string.h>

#include "args.h"
#include "commands.h"

namespace {

struct Command {
    const char* name;
    const char* summary;
    int (*run)(int argc, char** argv);
};

const Command kCommands[] = {
    {"list", "lists the names that servers on this machine listen on", runList},
    {"serve", "a test server: prints the traffic, answers every request, pushes notifications", runServe},
    {"call", "sends one request and prints the response", runCall},
    {"listen", "prints the notifications a server pushes", runListen},
    {"bench", "measures round trips against a raw-socket baseline", runBench},
    {"demo", "a server and two clients in one process, narrated by the library's log", runDemo},
};

void printUsage(FILE* stream) {
    fprintf(stream,
            "usage: vorna-msg COMMAND [ARGUMENTS]\n"
            "\n"
            "Talks to servers of libvorna's local-socket messaging (abstract socket names).\n"
            "\n"
            "commands:\n");
    for (const Command& command : kCommands)
        fprintf(stream, "  %-8s %s\n", command.name, command.summary);
    fprintf(stream,
            "\n"
            "'vorna-msg COMMAND --help' tells more about each; 'vorna-msg --version' prints the version.\n"
            "Every command takes --quiet, which hides the library's own log lines. Exit status: 0 success,\n"
            "1 failure, 2 bad arguments, 130 after Ctrl-C, 143 after SIGTERM.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "vorna-msg: missing COMMAND (see 'vorna-msg --help')\n");
        return kExitUsage;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "help") == 0) {
        printUsage(stdout);
        return kExitOk;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("vorna-msg %s\n", VORNA_VERSION);
        return kExitOk;
    }
    for (const Command& command : kCommands) {
        if (strcmp(argv[1], command.name) == 0)
            return command.run(argc - 2, argv + 2);
    }
    fprintf(stderr, "vorna-msg: unknown command '%s' (see 'vorna-msg --help')\n", argv[1]);
    return kExitUsage;
}
