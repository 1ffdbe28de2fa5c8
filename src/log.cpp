#include <ctype.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

#include "vorna/log.h"

namespace {

pthread_mutex_t gLogMutex = PTHREAD_MUTEX_INITIALIZER;
// Guards the log file handle and both offsets; taken inside gLogMutex, or alone by the echo thread.
pthread_mutex_t gFileMutex = PTHREAD_MUTEX_INITIALIZER;

char gPrefix[64];
char gMessage[256];
FILE* gLogFile;
// Written under gFileMutex; the echo thread also peeks at them without the lock, only to decide whether
// to sleep, hence atomics.
std::atomic<int32_t> gWriteOffset;
std::atomic<int32_t> gReadOffset;
pthread_t gEchoThread;
// Guarded by gFileMutex.
bool gEchoStarted;
char gEchoLine[320];

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

void appendToLogFile() {
    if (fseek(gLogFile, gWriteOffset.load(std::memory_order_relaxed), SEEK_SET) != 0) {
        puts("log2file seek failed");
        return;
    }
    writeLine(gLogFile, gPrefix, gMessage);
    gWriteOffset.store(static_cast<int32_t>(ftell(gLogFile)), std::memory_order_relaxed);
}

// Copies one line of the log file to standard output. Returns false when the echo must stop.
bool echoOneLine() {
    pthread_mutex_lock(&gFileMutex);
    if (gLogFile == NULL || gReadOffset.load(std::memory_order_relaxed) < 0)
        return false;
    if (fseek(gLogFile, gReadOffset.load(std::memory_order_relaxed), SEEK_SET) != 0)
        puts("seek failed");
    if (fgets(gEchoLine, sizeof(gEchoLine) - 1, gLogFile) == NULL)
        gEchoLine[0] = '\0';
    gReadOffset.store(static_cast<int32_t>(ftell(gLogFile)), std::memory_order_relaxed);
    pthread_mutex_unlock(&gFileMutex);
    printf("%s", withoutLevelMarker(gEchoLine));
    // The echo exists to show lines promptly, also when standard output is a pipe.
    fflush(stdout);
    return true;
}

void* echoLogFile(void*) {
    for (;;) {
        if (gReadOffset.load(std::memory_order_relaxed) == gWriteOffset.load(std::memory_order_relaxed)) {
            usleep(kEchoPollUs);
            continue;
        }
        if (!echoOneLine())
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
