// Logging: lines in the library's format, first on the console, then in a log file; the crash handler;
// and VsnPrinter's bounded formatting. Usage: example_logging LOG_FILE
#include <stdio.h>

#include <vorna/vorna.h>

// A log writer receives each line as the file would store it ("<2>[ ... ] WRN: ..."), with its level;
// a device application would hand it to syslog(3) or the journal instead of counting it.
static void countLine(void* ctx, int level, const char* line, int len) {
    if (level >= 1 && len > 0 && line[len - 1] == '\n')
        ++*static_cast<int*>(ctx);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s LOG_FILE\n", argv[0]);
        return 2;
    }
    // First thing at start-up: a crash then prints a stack trace, and a write to a socket whose peer has
    // gone fails with EPIPE instead of ending the process.
    if (signal_proc_init() != 0)
        return 1;

    // Until LogInit, lines go to standard output without their level marker.
    LogPrint("<1>[   app    ][%s %s %s %d] INF: ", "", "main", __func__, __LINE__, "started %d\n", 42);

    LogSetLevel(2);  // drop INF lines from now on (VORNA_LOG_LEVEL=warning does this at start-up)
    LogPrint("<1>[   app    ][%s %s %s %d] INF: ", "", "main", __func__, __LINE__, "not shown\n");
    LogSetLevel(1);  // everything again

    int routed = 0;
    LogSetWriter(countLine, &routed);  // lines go to the writer instead of the console
    LogPrint("<2>[   app    ][%s %s %s %d] WRN: ", "", "main", __func__, __LINE__, "to the writer\n");
    LogSetWriter(nullptr, nullptr);  // back to the console
    printf("the writer took %d line\n", routed);

    // optional: lines go to the file (at most 64 KiB, then app.log.1 and app.log.2 keep the older
    // lines); an echo thread copies them to stdout
    LogInitLimited(argv[1], 64 * 1024, 2);
    LogPrint("<1>[   app    ][%s %s %s %d] INF: ", "", "main", __func__, __LINE__, "logging to %s\n",
             argv[1]);

    char text[8];
    int length = VsnPrinter::printf(text, sizeof text, "%s", "too long");  // keeps "too lo", returns 8
    if (length > static_cast<int>(sizeof text) - 2)
        printf("cut to \"%s\": %d characters did not fit\n", text, length);
    return 0;
}
