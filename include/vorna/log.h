#pragma once

#include "vorna/export.h"

// Writes one log line: the prefix format filled with the three fields and the line number, then the
// message format filled with the variable arguments. Before LogInit the line goes to standard output
// without its three-character level marker ("<3>"); after a successful LogInit it goes, whole, to the log
// file, and the echo thread copies it to standard output within about 10 ms. A null prefix format or a
// null message format contributes empty text. The prefix is cut to 62 characters and the message to 254;
// a cut message whose full text ended with a newline keeps 253 characters and the newline. A line whose
// level (the digit of its prefix's "<n>" marker) is below the LogSetLevel threshold is neither formatted
// nor written. Once a writer is set (LogSetWriter) every line goes to it instead of console or file.
// Any thread may call it; calls are serialised. Returns 0.
VORNA_API int LogPrint(const char* prefixFormat, const char* field1, const char* field2, const char* field3,
                       int line, const char* format, ...) __attribute__((format(printf, 6, 7)));

// Lines of a level below `level` (1 INF, 2 WRN, 3 ERR, 4 BUG) are dropped from now on, before any
// formatting or locking: 0 or 1 keeps everything (the default), 5 drops every line that has a level.
// Lines whose prefix has no "<n>" marker (or a null prefix) have no level and are always written. At
// start-up the environment variable VORNA_LOG_LEVEL sets the threshold: a decimal number, or one of
// "info", "warning", "error", "bug" (any case); another value is ignored. Any thread may call it; lines
// being written at that moment may still use the previous threshold.
VORNA_API void LogSetLevel(int level);

// Receives each line in place of the console or the log file. `level` is the digit of the line's "<n>"
// marker (0 when it has none); `line` holds the whole line exactly as the file would store it, level
// marker included, `len` characters long and NUL-terminated; it is valid only during the call. The writer
// runs on the logging thread with the library's log lock held, so calls never overlap. A line the writer
// logs itself (through LogPrint or anything that logs through the library) does not reach it: it goes to
// standard error, without its level marker, and the process goes on; LogSetWriter called from inside the
// writer does nothing.
typedef void (*LogWriter)(void* ctx, int level, const char* line, int len);

// Sends every later line to `writer`, called with `ctx`, instead of the console or the log file; a null
// writer restores the default. Once it returns, no line goes to the previous writer, so its context may be
// released. Lines suppressed by LogSetLevel never reach the writer. Any thread may call it, except a
// writer.
VORNA_API void LogSetWriter(LogWriter writer, void* ctx);

// Sends every later log line to the file at `path` (created or truncated) and starts the echo thread
// that copies new lines to standard output. Does nothing once a log file is open. When the file cannot
// be opened, lines keep going to standard output and a later call may try again. After
// signal_proc_init, the lines already logged reach the file and standard output even if the process
// crashes; a normal exit also echoes the last lines. When a write to the file fails (a full disk), the
// lines it held, and those logged until the echo has shown them, reach standard output only: the file
// misses them (it keeps no cut line), and one ERR line on standard output reports the failure. The echo
// goes on, and lines go to the file again once a write succeeds.
VORNA_API void LogInit(const char* path);

// As LogInit, but the file is bounded: once a line takes it past `maxBytes`, it is renamed to
// "<path>.1" (older ones shift up to "<path>.<keep>", the oldest is removed) and a new file is started
// at `path`. With `keep` 0 the full file is removed. The echo copies the end of the old file before the
// new one, so standard output neither loses nor repeats a line; a writer that fills a second file before
// the echo has finished the first waits for it. A `maxBytes` of 0 or less (or a path longer than
// PATH_MAX) means no limit, as LogInit. Does nothing once a log file is open.
VORNA_API void LogInitLimited(const char* path, int maxBytes, int keep);

// Log lines of an application in the library's own format, one macro per level:
//   VORNA_LOG_INF("   app    ", "started %d\n", 42);
// writes "[   app    ][ main.cpp main 12] INF: started 42" (the level marker "<1>" goes to the log file
// and the writer). `tag` is a string literal, shown between the brackets as it is (the library's own
// lines use "   vorna  ", ten characters); then come the source file, the function and the line, as the
// library's lines give them. The file is the source's name without its directories; define
// VORNA_LOG_FILE before including this header to show another text. The rest is LogPrint's message
// format and its arguments, checked by the compiler.
#ifndef VORNA_LOG_FILE
#ifdef __FILE_NAME__
#define VORNA_LOG_FILE __FILE_NAME__
#else
#define VORNA_LOG_FILE __FILE__
#endif
#endif

// The line prefix of a level ("<1>", "INF") for `tag`, a string literal.
#define VORNA_LOG_PREFIX(marker, tag, level) marker "[" tag "][%s %s %s %d] " level ": "
// An INF line (level 1).
#define VORNA_LOG_INF(tag, ...) \
    LogPrint(VORNA_LOG_PREFIX("<1>", tag, "INF"), "", VORNA_LOG_FILE, __func__, __LINE__, __VA_ARGS__)
// A WRN line (level 2).
#define VORNA_LOG_WRN(tag, ...) \
    LogPrint(VORNA_LOG_PREFIX("<2>", tag, "WRN"), "", VORNA_LOG_FILE, __func__, __LINE__, __VA_ARGS__)
// An ERR line (level 3).
#define VORNA_LOG_ERR(tag, ...) \
    LogPrint(VORNA_LOG_PREFIX("<3>", tag, "ERR"), "", VORNA_LOG_FILE, __func__, __LINE__, __VA_ARGS__)
// A BUG line (level 4).
#define VORNA_LOG_BUG(tag, ...) \
    LogPrint(VORNA_LOG_PREFIX("<4>", tag, "BUG"), "", VORNA_LOG_FILE, __func__, __LINE__, __VA_ARGS__)

// Bounded formatting, as the log lines use it.
class VORNA_API VsnPrinter {
  public:
    // Formats into `s`, storing at most size - 2 characters and the terminating NUL. A size of 0 writes
    // nothing. Returns the length the whole text would have had (vsnprintf's result).
    static int printf(char* s, unsigned int size, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
};

// Installs the crash handler for SIGSEGV, SIGINT, SIGQUIT, SIGABRT and SIGBUS, and makes the process
// ignore SIGPIPE, so that a write to a closed socket fails with EPIPE instead of ending the process.
// On any of those signals the handler first writes out the log lines already logged (to the log file and
// its echo, and what stdout's stdio buffer holds), then writes "Segmentation Fault!" (whatever the
// signal), the signal details and a stack trace of at most 20 frames on standard error, ending with "End
// of stack trace". After that come the process id, the thread id and name, the program counter (ARM: also
// the link register and the stack pointer; x86-64: instruction and stack pointer) and every frame again,
// each with the module and offset that addr2line (or tools/vorna-symbolize) needs, ending with "End of
// crash details". It then ends the process with status 255 without running atexit handlers or static
// destructors. Everything it does is async-signal-safe except the frame names of the trace, which come
// from the C library. Call it once, at start-up, from one thread. Returns 0, or -1 after perror() with
// the signal's name when a handler could not be installed (the signals before it keep the handler;
// SIGPIPE is then left alone).
VORNA_API int signal_proc_init();
