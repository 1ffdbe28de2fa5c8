#include <ctype.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "vorna/log.h"

namespace {

pthread_mutex_t gLogMutex = PTHREAD_MUTEX_INITIALIZER;
// Guards the log file handle and both offsets; taken inside gLogMutex, or alone by the echo thread.
pthread_mutex_t gFileMutex = PTHREAD_MUTEX_INITIALIZER;

char gPrefix[64];
char gMessage[256];
FILE* gLogFile;
// The write offset is the end of what writers have put in the stream (under gFileMutex); the read offset is
// the end of what the echo thread has copied (its own). Both are read without the lock, hence atomics.
std::atomic<int32_t> gWriteOffset;
std::atomic<int32_t> gReadOffset;
pthread_t gEchoThread;
// Guarded by gFileMutex.
bool gEchoStarted;
// Lines read back from the file: several at a time, so that a burst costs few system calls.
char gEchoBuffer[4096];

const useconds_t kEchoPollUs = 10000;

// The console shows lines without their "<n>" level marker; text that does not start with one is shown
// whole.
const char* withoutLevelMarker(const char* text) {
    const bool hasMarker = text[0] == '<' && isdigit(static_cast<unsigned char>(text[1])) && text[2] == '>';
    return hasMarker ? text + 3 : text;
}

// The two pieces as one write to the stream, which no other writer can split; copying them costs far
// less than formatting them a third time.
void writeLine(FILE* stream, const char* prefix, const char* message) {
    flockfile(stream);
    fputs_unlocked(prefix, stream);
    fputs_unlocked(message, stream);
    funlockfile(stream);
}

// Writers only ever append: the stream stays at the end of the file, so a line costs no seek and no
// system call; the echo thread pushes the buffered lines to the file when it polls.
void appendToLogFile() {
    writeLine(gLogFile, gPrefix, gMessage);
    // Counted rather than asked of the stream: ftell costs a system call per line.
    const size_t length = strlen(gPrefix) + strlen(gMessage);
    gWriteOffset.fetch_add(static_cast<int32_t>(length), std::memory_order_relaxed);
}

// Makes the lines written so far readable in the file. Returns the descriptor to read them from, or -1
// when the echo must stop (it then returns with gFileMutex held).
int flushLogFile(int32_t* end) {
    pthread_mutex_lock(&gFileMutex);
    if (gLogFile == NULL || gReadOffset.load(std::memory_order_relaxed) < 0)
        return -1;
    fflush(gLogFile);
    *end = gWriteOffset.load(std::memory_order_relaxed);
    const int fd = fileno(gLogFile);
    pthread_mutex_unlock(&gFileMutex);
    return fd;
}

// Copies the lines in `text` to standard output without their level markers. The caller holds the
// stream's lock.
void echoLines(const char* text, size_t length) {
    const char* const end = text + length;
    while (text < end) {
        const char* newline = static_cast<const char*>(memchr(text, '\n', static_cast<size_t>(end - text)));
        const char* const lineEnd = newline != NULL ? newline + 1 : end;
        const char* const shown = lineEnd - text >= 3 ? withoutLevelMarker(text) : text;
        fwrite_unlocked(shown, 1, static_cast<size_t>(lineEnd - shown), stdout);
        text = lineEnd;
    }
}

// Copies the whole lines between the read offset and `end` to standard output, a buffer at a time; pread
// leaves the writers' file position alone. Returns false when the file cannot be read.
bool echoUpTo(int fd, int32_t end) {
    flockfile(stdout);
    bool readable = true;
    for (int32_t offset = gReadOffset.load(std::memory_order_relaxed); offset < end;) {
        const size_t wanted = std::min(sizeof(gEchoBuffer), static_cast<size_t>(end - offset));
        const ssize_t n = pread(fd, gEchoBuffer, wanted, offset);
        if (n <= 0) {
            readable = false;
            break;
        }
        // A line cut by the end of the buffer waits for the next read, unless it fills the buffer alone.
        size_t length = static_cast<size_t>(n);
        const void* lastNewline = memrchr(gEchoBuffer, '\n', length);
        if (lastNewline != NULL && offset + n < end)
            length = static_cast<size_t>(static_cast<const char*>(lastNewline) - gEchoBuffer) + 1;
        echoLines(gEchoBuffer, length);
        offset += static_cast<int32_t>(length);
        gReadOffset.store(offset, std::memory_order_relaxed);
    }
    // The echo exists to show lines promptly, also when standard output is a pipe.
    fflush_unlocked(stdout);
    funlockfile(stdout);
    return readable;
}

// Copies every line written since the last poll to standard output. Returns false, with gFileMutex held,
// when the echo must stop: the file is gone or cannot be read.
bool echoNewLines() {
    int32_t end = 0;
    const int fd = flushLogFile(&end);
    if (fd < 0)
        return false;
    if (echoUpTo(fd, end))
        return true;
    pthread_mutex_lock(&gFileMutex);
    return false;
}

void* echoLogFile(void*) {
    for (;;) {
        // Polling, rather than waking per line, lets a burst of lines reach the file in one write.
        usleep(kEchoPollUs);
        if (gReadOffset.load(std::memory_order_relaxed) == gWriteOffset.load(std::memory_order_relaxed))
            continue;
        if (!echoNewLines())
            break;
    }
    pthread_mutex_unlock(&gFileMutex);
    puts("break log thread.");
    puts("log thread is exitting.");
    pthread_exit(NULL);
}

}  // namespace

int LogPrint(const char* prefixFormat, const char* field1, const char* field2, const char* field3, int line,
             const char* format, ...) {
    pthread_mutex_lock(&gLogMutex);
    gMessage[0] = '\0';
    if (format != NULL) {
        va_list args;
        va_start(args, format);
        vsnprintf(gMessage, sizeof(gMessage) - 1, format, args);
        va_end(args);
    }
    gPrefix[0] = '\0';
    if (prefixFormat != NULL) {
        snprintf(gPrefix, sizeof(gPrefix) - 1, prefixFormat, field1, field2, field3, line);
    }

    pthread_mutex_lock(&gFileMutex);
    if (gLogFile != NULL) {
        appendToLogFile();
        pthread_mutex_unlock(&gFileMutex);
    } else {
        pthread_mutex_unlock(&gFileMutex);
        writeLine(stdout, withoutLevelMarker(gPrefix), gMessage);
    }
    return pthread_mutex_unlock(&gLogMutex);
}

void LogInit(const char* path) {
    pthread_mutex_lock(&gFileMutex);
    if (gLogFile != NULL) {
        pthread_mutex_unlock(&gFileMutex);
        return;
    }
    // Close-on-exec: a program the application starts has no business with the log file.
    gLogFile = fopen(path, "wb+e");
    // The echo thread of an earlier call whose file could not be opened is still polling and serves this
    // file too: a second one would copy lines alongside it, out of order and through the shared buffer.
    if (!gEchoStarted) {
        gEchoStarted = pthread_create(&gEchoThread, NULL, echoLogFile, NULL) == 0;
        if (!gEchoStarted)
            puts("pthread create error");
    }
    pthread_mutex_unlock(&gFileMutex);
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
