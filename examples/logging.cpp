// Logging: lines in the library's format, first on the console, then in a log file; the crash handler;
// and VsnPrinter's bounded formatting. Usage: example_logging LOG_FILE
#include <stdio.h>

#include <vorna/vorna.h>

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

    LogInit(argv[1]);  // optional: lines go to the file, an echo thread copies them to stdout
    LogPrint("<1>[   app    ][%s %s %s %d] INF: ", "", "main", __func__, __LINE__, "logging to %s\n",
             argv[1]);

    char text[8];
    int length = VsnPrinter::printf(text, sizeof text, "%s", "too long");  // keeps "too lo", returns 8
    if (length > static_cast<int>(sizeof text) - 2)
        printf("cut to \"%s\": %d characters did not fit\n", text, length);
    return 0;
}
