#pragma once

#include "vorna/export.h"

// Writes one log line: the prefix format filled with the three fields and the line number, then the
// message format filled with the variable arguments. Before LogInit the line goes to standard output
// without its three-character level marker ("<3>"); after a successful LogInit it goes, whole, to the log
// file, and the echo thread copies it to standard output within about 10 ms. A null prefix format or a
// null message format contributes empty text. The prefix is cut to 62 characters and the message to 254.
// Any thread may call it; calls are serialised. Returns 0.
VORNA_API int LogPrint(const char* prefixFormat, const char* field1, const char* field2, const char* field3,
                       int line, const char* format, ...) __attribute__((format(printf, 6, 7)));

// Sends every later log line to the file at `path` (created or truncated) and starts the echo thread
// that copies new lines to standard output. Does nothing once a log file is open. When the file cannot
// be opened, lines keep going to standard output and a later call may try again.
VORNA_API void LogInit(const char* path);

class VORNA_API VsnPrinter {
  public:
    // Formats into `s`, storing at most size - 2 characters and the terminating NUL. A size of 0 writes
    // nothing. Returns the length the whole text would have had (vsnprintf's result).
    static int printf(char* s, unsigned int size, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
};

// Installs the crash handler for SIGSEGV, SIGINT, SIGQUIT, SIGABRT and SIGBUS, and makes the process
// ignore SIGPIPE, so that a write to a closed socket fails with EPIPE instead of ending the process.
// On any of those signals the handler writes "Segmentation Fault!" (whatever the signal), the signal
// details and a stack trace of at most 20 frames on standard error, then ends the process with status
// 255 without running atexit handlers or static destructors. Call it once, at start-up, from one
// thread. Returns 0, or -1 after perror() with the signal's name when a handler could not be installed
// (the signals before it keep the handler; SIGPIPE is then left alone).
VORNA_API int signal_proc_init();
