#pragma once

// Helpers the fuzz targets share: quiet logging and the raw peer's side of the socket protocol.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

namespace fuzz {

// The library logs every step to standard output; libFuzzer reports on standard error, which stays.
inline void silenceStdout() {
    fflush(stdout);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

// The abstract address the library builds for `name`: a leading NUL, the name, no terminator.
inline socklen_t abstractAddress(const char* name, sockaddr_un* address) {
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    const size_t length = strnlen(name, sizeof(address->sun_path) - 1);
    memcpy(address->sun_path + 1, name, length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

// A listening socket on the abstract `name`, or -1.
inline int listenOn(const char* name) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address;
    const socklen_t length = abstractAddress(name, &address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A client socket connected to the abstract `name`, or -1.
inline int connectTo(const char* name) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address;
    const socklen_t length = abstractAddress(name, &address);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Writes all bytes unless the socket fails. Returns false on failure.
inline bool writeAll(int fd, const void* data, size_t size) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = send(fd, next, size, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        next += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// The number of descriptors this process holds, to catch one that an iteration leaves open.
inline int openDescriptors() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == NULL)
        return -1;
    int count = 0;
    while (readdir(directory) != NULL)
        ++count;
    closedir(directory);
    return count;
}

// Stops the fuzzer with a crash report when an expectation about the library fails.
#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            __builtin_trap();                                                             \
        }                                                                                 \
    } while (0)

}  // namespace fuzz
