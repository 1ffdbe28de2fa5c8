// Lock order: gLogMutex, then gFileMutex (writers); gEchoMutex, then gFileMutex (whoever copies the log
// file to standard output). Writers never take gEchoMutex and the echo never takes gLogMutex, so a slow
// console holds up writers only when a rotation has to wait for the echo to finish the previous file, or
// when lines the file could not take overflow the buffer that holds them for the echo.

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "internal/log.h"
#include "internal/thread_annotations.h"
#include "vorna/log.h"

namespace {

using vorna::writeAll;

const size_t kPrefixSize = 64;
const size_t kMessageSize = 256;
// Longest message kept: the buffer less the terminator and the one character vsnprintf's limit leaves.
const size_t kMessageKept = kMessageSize - 2;
const useconds_t kEchoPollUs = 10000;

using vorna::LockGuard;

vorna::Lock gLogMutex;
vorna::Lock gFileMutex;
vorna::Lock gEchoMutex;
// Signalled, under gFileMutex, when the echo has copied a rotated-out file to its end or has stopped.
vorna::CondVar gRetiredCopied;

// Lines of a lower level return before taking any lock. Read without a lock on every call.
std::atomic<int> gThreshold{0};

// A line with its prefix, as built before it goes out.
struct Line {
    char text[kPrefixSize + kMessageSize];
    size_t prefixLength;
    size_t length;
};

// The line being built, and where finished lines go instead of console or file.
Line gLine GUARDED_BY(gLogMutex);
LogWriter gWriter GUARDED_BY(gLogMutex);
void* gWriterContext GUARDED_BY(gLogMutex);
// Set while this thread runs the writer, which is called with gLogMutex held: a line it logs must not
// wait for that lock.
thread_local bool tInWriter;

// The log file. Lines are kept in `pending`, the library's own buffer, until the echo polls or the buffer
// fills: a line then costs no system call, and the crash handler can still write what is kept with
// write() alone. Fields the crash handler and the echo's idle check read without the lock are atomic;
// all are changed under gFileMutex only.
struct LogFile {
    std::atomic<int> fd{-1};
    // Bytes of the current file, the pending ones included.
    std::atomic<int64_t> written{0};
    char pending[16384] GUARDED_BY(gFileMutex);
    std::atomic<size_t> pendingLength{0};

    // Lines that a write to the file failed to store (a full disk), and those kept after them until the
    // echo has shown them: they belong after the file's last byte, and reach standard output only.
    char unwritten[16384] GUARDED_BY(gFileMutex);
    std::atomic<size_t> unwrittenLength{0};
    // Set by a failed write and cleared by one that works: one ERR line per failure, not one per line.
    bool writeFailing GUARDED_BY(gFileMutex) = false;

    // A rotated-out file whose tail the echo has not copied yet (-1: none), and its final size.
    std::atomic<int> retiredFd{-1};
    std::atomic<int64_t> retiredEnd{0};
    // How far the echo has copied: in the retired file while there is one, else in the current file.
    // Changed by the echo alone (under gEchoMutex), and reset with the retired file under gFileMutex too.
    std::atomic<int64_t> readOffset{0};

    // Rotation; maxBytes 0 means none.
    char path[PATH_MAX] GUARDED_BY(gFileMutex);
    int64_t maxBytes GUARDED_BY(gFileMutex) = 0;
    int keep GUARDED_BY(gFileMutex) = 0;

    bool echoStarted GUARDED_BY(gFileMutex) = false;
    std::atomic<bool> echoRunning{false};
    bool exitHookSet GUARDED_BY(gFileMutex) = false;
};

LogFile gFile;

// Writes of kept lines to the file, and the echo's writes to standard output, are made by one thread at a
// time, holding this token (its thread id). The crash handler takes it to write out what is kept without
// repeating what another thread is writing at that moment, and keeps it: threads that come for it later
// wait for the end of the process instead of writing the same lines again.
std::atomic<pid_t> gOutputToken{0};
const pid_t kTakenByCrash = -1;
// How long the crash handler waits for a writer to finish: a write to a stalled console could last
// forever, and then some repeated lines are better than no report.
const int kCrashWaitMs = 2000;

pid_t currentThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

class OutputToken {
  public:
    OutputToken() : mSelf(currentThreadId()) {
        for (;;) {
            pid_t holder = 0;
            if (gOutputToken.compare_exchange_weak(holder, mSelf, std::memory_order_acquire))
                return;
            if (holder == kTakenByCrash) {
                for (;;)
                    pause();
            }
            sched_yield();
        }
    }
    // A crash handler that stopped waiting has taken the token over: it stays taken.
    ~OutputToken() {
        pid_t holder = mSelf;
        gOutputToken.compare_exchange_strong(holder, 0, std::memory_order_release);
    }
    OutputToken(const OutputToken&) = delete;
    OutputToken& operator=(const OutputToken&) = delete;

  private:
    const pid_t mSelf;
};

// Async-signal-safe.
void takeOutputTokenForCrash() {
    const pid_t self = currentThreadId();
    for (int waited = 0; waited < kCrashWaitMs; ++waited) {
        pid_t holder = 0;
        if (gOutputToken.compare_exchange_strong(holder, kTakenByCrash, std::memory_order_acquire) ||
            holder == self || holder == kTakenByCrash)
            break;
        const timespec interval = {0, 1000000};
        nanosleep(&interval, NULL);
    }
    gOutputToken.store(kTakenByCrash, std::memory_order_release);
}

// Lines read back from the file, several at a time; and the unwritten lines the echo shows after them.
char gEchoBuffer[4096] GUARDED_BY(gEchoMutex);
char gEchoBacklog[sizeof(LogFile::unwritten)] GUARDED_BY(gEchoMutex);

bool hasLevelMarker(const char* text) {
    return text[0] == '<' && isdigit(static_cast<unsigned char>(text[1])) && text[2] == '>';
}

int levelOf(const char* prefixFormat) {
    return prefixFormat != NULL && hasLevelMarker(prefixFormat) ? prefixFormat[1] - '0' : 0;
}

// The console shows lines without their "<n>" level marker; text that does not start with one is shown
// whole.
const char* withoutLevelMarker(const char* text) {
    return hasLevelMarker(text) ? text + 3 : text;
}

// ---- Building the line ----

// A stream that keeps only the last character written to it: the end of a message too long for the
// buffer, which decides whether its cut copy ends with a newline. Made once, on the first over-long
// message, and kept (used under gLogMutex only).
ssize_t keepLastCharacter(void* cookie, const char* data, size_t length) {
    if (length > 0)
        *static_cast<char*>(cookie) = data[length - 1];
    return static_cast<ssize_t>(length);
}

char lastCharacterOf(const char* format, va_list args) {
    static char last;
    static FILE* tail;
    if (tail == NULL) {
        cookie_io_functions_t functions = {NULL, keepLastCharacter, NULL, NULL};
        tail = fopencookie(&last, "w", functions);
        if (tail == NULL)
            return '\0';
    }
    last = '\0';
    vfprintf(tail, format, args);
    fflush(tail);
    return last;
}

// Formats the message at `out`: at most 254 characters, and a cut message that ended with a newline
// keeps it, so that the next line does not start on the end of this one.
size_t formatMessage(char* out, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    const int full = vsnprintf(out, kMessageSize - 1, format, args);
    size_t length = full < 0 ? 0 : std::min(static_cast<size_t>(full), kMessageKept);
    out[length] = '\0';
    if (full > static_cast<int>(kMessageKept) && lastCharacterOf(format, again) == '\n')
        out[length - 1] = '\n';
    va_end(again);
    return length;
}

// The prefix (at most 62 characters) and the message, one after the other.
void composeLine(Line* out, const char* prefixFormat, const char* field1, const char* field2,
                 const char* field3, int line, const char* format, va_list args) {
    size_t length = 0;
    out->text[0] = '\0';
    if (prefixFormat != NULL) {
        const int n = snprintf(out->text, kPrefixSize - 1, prefixFormat, field1, field2, field3, line);
        length = n < 0 ? 0 : std::min(static_cast<size_t>(n), kPrefixSize - 2);
        out->text[length] = '\0';
    }
    out->prefixLength = length;
    if (format != NULL)
        length += formatMessage(out->text + length, format, args);
    out->length = length;
}

// ---- The log file ----

// Writes `text` to standard output without the level markers of its lines. `text` is changed.
void showWithoutMarkers(char* text, size_t length);

// Adds lines to those that only standard output shows. When they do not fit, those already kept go out
// at once: standard output may then show them before the last lines of the file.
void keepUnwritten(const char* text, size_t length) REQUIRES(gFileMutex) {
    size_t kept = gFile.unwrittenLength.load(std::memory_order_relaxed);
    if (kept + length > sizeof(gFile.unwritten)) {
        OutputToken token;
        showWithoutMarkers(gFile.unwritten, kept);
        kept = 0;
    }
    memcpy(gFile.unwritten + kept, text, length);
    gFile.unwrittenLength.store(kept + length, std::memory_order_relaxed);
}

// One ERR line, on standard output only, for the first of a run of failed writes.
void reportWriteFailure(int error) REQUIRES(gFileMutex) {
    if (gFile.writeFailing)
        return;
    gFile.writeFailing = true;
    char reason[128];
    char line[kPrefixSize + kMessageSize];
    const int length = snprintf(
        line, sizeof(line), VORNA_PREFIX_ERR "log file write failed: %s; lines go to standard output only\n",
        "", "src/log", "flushPending", __LINE__, strerror_r(error, reason, sizeof(reason)));
    keepUnwritten(line, std::min(static_cast<size_t>(std::max(length, 0)), sizeof(line) - 1));
}

// Called with gFileMutex held. The kept lines go to the file, unless lines the file failed to take still
// wait for the echo: those come first. Lines the file does not take are taken back from it whole (no cut
// line stays) and become unwritten lines.
void flushPending() REQUIRES(gFileMutex) {
    const size_t length = gFile.pendingLength.load(std::memory_order_relaxed);
    if (length == 0)
        return;
    const int fd = gFile.fd.load(std::memory_order_relaxed);
    const int64_t fileEnd = gFile.written.load(std::memory_order_relaxed) - static_cast<int64_t>(length);
    int error = 0;
    if (gFile.unwrittenLength.load(std::memory_order_relaxed) == 0) {
        OutputToken token;
        if (writeAll(fd, gFile.pending, length)) {
            gFile.writeFailing = false;
            gFile.pendingLength.store(0, std::memory_order_release);
            return;
        }
        error = errno != 0 ? errno : EIO;
        if (ftruncate(fd, fileEnd) == 0)
            lseek(fd, fileEnd, SEEK_SET);
    }
    keepUnwritten(gFile.pending, length);
    if (error != 0)
        reportWriteFailure(error);
    gFile.written.store(fileEnd, std::memory_order_relaxed);
    gFile.pendingLength.store(0, std::memory_order_release);
}

void makeKeptName(char* name, size_t size, int index) REQUIRES(gFileMutex) {
    snprintf(name, size, "%s.%d", gFile.path, index);
}

// path.(keep - 1) -> path.keep, ..., path -> path.1; with nothing to keep the file is removed.
void shiftKeptFiles() REQUIRES(gFileMutex) {
    char from[PATH_MAX + 16];
    char to[PATH_MAX + 16];
    for (int index = gFile.keep - 1; index >= 1; --index) {
        makeKeptName(from, sizeof(from), index);
        makeKeptName(to, sizeof(to), index + 1);
        rename(from, to);
    }
    if (gFile.keep > 0) {
        makeKeptName(to, sizeof(to), 1);
        rename(gFile.path, to);
    } else {
        unlink(gFile.path);
    }
}

int openLogFile(const char* path) {
    // Close-on-exec: a program the application starts has no business with the log file.
    return open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

// Called with gFileMutex held, after a line took the file past its limit. The old file stays open for the
// echo until it has copied its tail, so that the console neither loses nor repeats a line; only one file
// waits at a time, so that a stalled console cannot pile up open files.
void rotate() REQUIRES(gFileMutex) {
    flushPending();
    while (gFile.retiredFd.load(std::memory_order_relaxed) >= 0 && gFile.echoRunning.load())
        gRetiredCopied.wait(gFileMutex);
    shiftKeptFiles();
    const int fresh = openLogFile(gFile.path);
    if (fresh < 0) {
        // Go on in the renamed file; try again after another maxBytes.
        gFile.written.store(0, std::memory_order_relaxed);
        return;
    }
    const int old = gFile.fd.load(std::memory_order_relaxed);
    if (gFile.echoRunning.load()) {
        gFile.retiredEnd.store(gFile.written.load(std::memory_order_relaxed), std::memory_order_relaxed);
        gFile.retiredFd.store(old, std::memory_order_release);
    } else {
        close(old);
        gFile.readOffset.store(0, std::memory_order_relaxed);
    }
    gFile.written.store(0, std::memory_order_relaxed);
    gFile.fd.store(fresh, std::memory_order_release);
}

// Called with gFileMutex held.
void appendToLogFile(const char* line, size_t length) REQUIRES(gFileMutex) {
    if (gFile.pendingLength.load(std::memory_order_relaxed) + length > sizeof(gFile.pending))
        flushPending();
    const size_t kept = gFile.pendingLength.load(std::memory_order_relaxed);
    memcpy(gFile.pending + kept, line, length);
    // Release: the crash handler writes what this count covers, with no lock.
    gFile.pendingLength.store(kept + length, std::memory_order_release);
    const int64_t written = gFile.written.load(std::memory_order_relaxed) + static_cast<int64_t>(length);
    gFile.written.store(written, std::memory_order_relaxed);
    if (gFile.maxBytes > 0 && written > gFile.maxBytes)
        rotate();
}

// Only a marker of the prefix is dropped: a message is shown as written.
size_t consoleStart(const Line& line) {
    return line.prefixLength >= 3 && hasLevelMarker(line.text) ? 3 : 0;
}

void deliverLine(int level) REQUIRES(gLogMutex) {
    if (gWriter != NULL) {
        tInWriter = true;
        gWriter(gWriterContext, level, gLine.text, static_cast<int>(gLine.length));
        tInWriter = false;
        return;
    }
    {
        LockGuard lock(gFileMutex);
        if (gFile.fd.load(std::memory_order_relaxed) >= 0) {
            appendToLogFile(gLine.text, gLine.length);
            return;
        }
    }
    fwrite(gLine.text + consoleStart(gLine), 1, gLine.length - consoleStart(gLine), stdout);
}

// A line logged by the writer itself: waiting for the log lock, which this thread holds, would never end,
// and the writer may be what fails. Standard error takes it, in one write.
void logFromWriter(const char* prefixFormat, const char* field1, const char* field2, const char* field3,
                   int line, const char* format, va_list args) {
    Line own;
    composeLine(&own, prefixFormat, field1, field2, field3, line, format, args);
    writeAll(STDERR_FILENO, own.text + consoleStart(own), own.length - consoleStart(own));
}

// ---- The echo ----

// Drops the level markers of the lines in `text`, in place. Returns the remaining length.
size_t stripLevelMarkers(char* text, size_t length) {
    size_t out = 0;
    for (size_t at = 0; at < length;) {
        const char* newline = static_cast<const char*>(memchr(text + at, '\n', length - at));
        const size_t lineEnd = newline != NULL ? static_cast<size_t>(newline - text) + 1 : length;
        size_t from = at;
        if (lineEnd - at >= 3)
            from += static_cast<size_t>(withoutLevelMarker(text + at) - (text + at));
        memmove(text + out, text + from, lineEnd - from);
        out += lineEnd - from;
        at = lineEnd;
    }
    return out;
}

// Copies the next lines of `fd` after the read offset, up to `end`, to standard output without their
// markers: one buffer's worth, with pread (which leaves the writers' position alone) and write (nothing
// kept in stdio). Async-signal-safe. Returns false when the file cannot be read.
bool echoOneBuffer(int fd, int64_t end, char* buffer, size_t size) {
    const int64_t offset = gFile.readOffset.load(std::memory_order_relaxed);
    const size_t wanted = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), end - offset));
    const ssize_t n = pread(fd, buffer, wanted, offset);
    if (n <= 0)
        return false;
    // A line cut by the end of the buffer waits for the next read, unless it fills the buffer alone.
    size_t length = static_cast<size_t>(n);
    const void* lastNewline = memrchr(buffer, '\n', length);
    if (lastNewline != NULL && offset + n < end)
        length = static_cast<size_t>(static_cast<const char*>(lastNewline) - buffer) + 1;
    writeAll(STDOUT_FILENO, buffer, stripLevelMarkers(buffer, length));
    gFile.readOffset.store(offset + static_cast<int64_t>(length), std::memory_order_relaxed);
    return true;
}

bool echoRange(int fd, int64_t end, char* buffer, size_t size) {
    while (gFile.readOffset.load(std::memory_order_relaxed) < end) {
        if (!echoOneBuffer(fd, end, buffer, size))
            return false;
    }
    return true;
}

// The echo's own pass: a buffer at a time under the output token, so that the crash handler can take
// over between two.
bool echoRangeInTurn(int fd, int64_t end) REQUIRES(gEchoMutex) {
    while (gFile.readOffset.load(std::memory_order_relaxed) < end) {
        OutputToken token;
        if (!echoOneBuffer(fd, end, gEchoBuffer, sizeof(gEchoBuffer)))
            return false;
    }
    return true;
}

void showWithoutMarkers(char* text, size_t length) {
    writeAll(STDOUT_FILENO, text, stripLevelMarkers(text, length));
}

// Called with gFileMutex held, once the echo has reached the end of a rotated-out file.
void releaseRetired() REQUIRES(gFileMutex) {
    close(gFile.retiredFd.load(std::memory_order_relaxed));
    gFile.retiredFd.store(-1, std::memory_order_relaxed);
    gFile.readOffset.store(0, std::memory_order_relaxed);
    gRetiredCopied.notifyAll();
}

// Moves the unwritten lines to gEchoBacklog; returns their length.
size_t takeUnwritten() REQUIRES(gEchoMutex, gFileMutex) {
    const size_t length = gFile.unwrittenLength.load(std::memory_order_relaxed);
    memcpy(gEchoBacklog, gFile.unwritten, length);
    gFile.unwrittenLength.store(0, std::memory_order_relaxed);
    return length;
}

void showBacklog(size_t length) REQUIRES(gEchoMutex) {
    if (length == 0)
        return;
    OutputToken token;
    showWithoutMarkers(gEchoBacklog, length);
}

// What the echo copies next: the rest of a rotated-out file; or the current file to its end, and then
// the lines it did not take (`backlog` bytes of gEchoBacklog).
struct EchoStep {
    int fd;
    int64_t end;
    bool retired;
    size_t backlog;
};

// False when the echo must stop.
bool takeEchoStep(EchoStep* step) REQUIRES(gEchoMutex) {
    LockGuard lock(gFileMutex);
    const int current = gFile.fd.load(std::memory_order_relaxed);
    if (current < 0 || gFile.readOffset.load(std::memory_order_relaxed) < 0)
        return false;
    flushPending();
    const int retired = gFile.retiredFd.load(std::memory_order_relaxed);
    step->retired = retired >= 0;
    step->fd = step->retired ? retired : current;
    step->end = step->retired ? gFile.retiredEnd.load(std::memory_order_relaxed)
                              : gFile.written.load(std::memory_order_relaxed);
    step->backlog = step->retired ? 0 : takeUnwritten();
    return true;
}

// Copies every line logged so far to standard output: the rest of a rotated-out file, then the current
// file and the lines it did not take. Returns false when the echo must stop.
bool echoNewLines() REQUIRES(gEchoMutex) {
    for (;;) {
        EchoStep step;
        if (!takeEchoStep(&step))
            return false;
        // Lines this process printed with stdio before these were logged come first.
        fflush(stdout);
        if (!echoRangeInTurn(step.fd, step.end))
            return false;
        if (!step.retired) {
            showBacklog(step.backlog);
            return true;
        }
        LockGuard lock(gFileMutex);
        releaseRetired();
    }
}

void stopEcho() REQUIRES(gFileMutex) {
    gFile.echoRunning.store(false);
    gRetiredCopied.notifyAll();
}

bool echoHasWork() {
    return gFile.fd.load(std::memory_order_relaxed) >= 0 &&
           (gFile.retiredFd.load(std::memory_order_relaxed) >= 0 ||
            gFile.unwrittenLength.load(std::memory_order_relaxed) > 0 ||
            gFile.readOffset.load(std::memory_order_relaxed) !=
                gFile.written.load(std::memory_order_relaxed));
}

void* echoLogFile(void*) {
    for (;;) {
        // Polling, rather than waking per line, lets a burst of lines reach the file in one write.
        usleep(kEchoPollUs);
        if (!echoHasWork())
            continue;
        LockGuard echo(gEchoMutex);
        if (!echoNewLines())
            break;
    }
    {
        LockGuard lock(gFileMutex);
        stopEcho();
    }
    puts("break log thread.");
    puts("log thread is exitting.");
    pthread_exit(NULL);
}

// A normal exit shows the lines of the last poll interval too.
void echoAtExit() {
    LockGuard echo(gEchoMutex);
    if (gFile.echoRunning.load()) {
        echoNewLines();
        return;
    }
    size_t backlog = 0;
    {
        LockGuard lock(gFileMutex);
        flushPending();
        backlog = takeUnwritten();
    }
    showBacklog(backlog);
}

// Called with gFileMutex held. The echo thread of an earlier call whose file could not be opened is
// still polling and serves this file too: a second one would copy lines alongside it, out of order.
void startEcho() REQUIRES(gFileMutex) {
    if (gFile.echoStarted)
        return;
    pthread_t thread;
    gFile.echoRunning.store(true);
    gFile.echoStarted = pthread_create(&thread, NULL, echoLogFile, NULL) == 0;
    if (!gFile.echoStarted) {
        gFile.echoRunning.store(false);
        puts("pthread create error");
    }
}

// A level word or a decimal number; false for anything else.
bool parseLevel(const char* text, int* level) {
    static const char* const kNames[] = {"info", "warning", "error", "bug"};
    for (int index = 0; index < 4; ++index) {
        if (strcasecmp(text, kNames[index]) == 0) {
            *level = index + 1;
            return true;
        }
    }
    char* end = NULL;
    errno = 0;
    const long number = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || number < INT_MIN || number > INT_MAX)
        return false;
    *level = static_cast<int>(number);
    return true;
}

__attribute__((constructor)) void readLevelFromEnvironment() {
    const char* text = getenv("VORNA_LOG_LEVEL");
    int level = 0;
    if (text != NULL && parseLevel(text, &level))
        gThreshold.store(level, std::memory_order_relaxed);
}

void openLog(const char* path, int maxBytes, int keep) {
    LockGuard lock(gFileMutex);
    if (gFile.fd.load(std::memory_order_relaxed) >= 0)
        return;
    const int fd = openLogFile(path);
    const bool rotates = maxBytes > 0 && strlen(path) < sizeof(gFile.path);
    if (rotates)
        strcpy(gFile.path, path);
    gFile.maxBytes = rotates ? maxBytes : 0;
    gFile.keep = std::max(keep, 0);
    gFile.fd.store(fd, std::memory_order_release);
    if (fd >= 0 && !gFile.exitHookSet)
        gFile.exitHookSet = atexit(echoAtExit) == 0;
    startEcho();
}

// The part of stdout's buffer that stdio has not written yet: lines the process printed just before a
// crash, which _exit would drop. Read without the stream's lock, which the crashed thread may hold.
__attribute__((no_sanitize("thread"))) void writeStdioBacklog() {
#ifdef __GLIBC__
    const char* const begin = stdout->_IO_write_base;
    const char* const end = stdout->_IO_write_ptr;
    if (begin != NULL && end > begin) {
        writeAll(STDOUT_FILENO, begin, static_cast<size_t>(end - begin));
        // Written: a flush on the way out (the sanitizers' exit path makes one) must not repeat it.
        stdout->_IO_write_ptr = stdout->_IO_write_base;
    }
#endif
}

}  // namespace

int LogPrint(const char* prefixFormat, const char* field1, const char* field2, const char* field3, int line,
             const char* format, ...) {
    const int level = levelOf(prefixFormat);
    if (level != 0 && level < gThreshold.load(std::memory_order_relaxed))
        return 0;
    va_list args;
    va_start(args, format);
    if (tInWriter) {
        logFromWriter(prefixFormat, field1, field2, field3, line, format, args);
    } else {
        LockGuard lock(gLogMutex);
        composeLine(&gLine, prefixFormat, field1, field2, field3, line, format, args);
        deliverLine(level);
    }
    va_end(args);
    return 0;
}

void LogSetLevel(int level) {
    gThreshold.store(level, std::memory_order_relaxed);
}

void LogSetWriter(LogWriter writer, void* context) {
    if (tInWriter)
        return;
    LockGuard lock(gLogMutex);
    gWriter = writer;
    gWriterContext = context;
}

void LogInit(const char* path) {
    openLog(path, 0, 0);
}

void LogInitLimited(const char* path, int maxBytes, int keep) {
    openLog(path, maxBytes, keep);
}

int VsnPrinter::printf(char* s, unsigned int size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    // Size 0 has no room even for the terminator: measure only. Size 1 has room for the terminator alone,
    // which a limit of size - 1 would leave unwritten.
    const int length = size <= 1 ? vsnprintf(NULL, 0, format, args) : vsnprintf(s, size - 1, format, args);
    va_end(args);
    if (size == 1)
        s[0] = '\0';
    return length;
}

bool vorna::writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Reads the file's buffers without gFileMutex, which the crashed thread may hold.
void logFlushAfterCrash() NO_THREAD_SAFETY_ANALYSIS {
    takeOutputTokenForCrash();
    writeStdioBacklog();
    const int fd = gFile.fd.load(std::memory_order_acquire);
    if (fd < 0)
        return;
    const size_t pending = gFile.pendingLength.load(std::memory_order_acquire);
    const size_t unwritten = gFile.unwrittenLength.load(std::memory_order_relaxed);
    const bool stored = unwritten == 0 && writeAll(fd, gFile.pending, pending);
    char buffer[2048];
    const int retired = gFile.retiredFd.load(std::memory_order_acquire);
    if (retired >= 0) {
        echoRange(retired, gFile.retiredEnd.load(std::memory_order_relaxed), buffer, sizeof(buffer));
        gFile.readOffset.store(0, std::memory_order_relaxed);
    }
    const int64_t written = gFile.written.load(std::memory_order_relaxed);
    echoRange(fd, stored ? written : written - static_cast<int64_t>(pending), buffer, sizeof(buffer));
    showWithoutMarkers(gFile.unwritten, unwritten);
    if (!stored)
        showWithoutMarkers(gFile.pending, pending);
}
