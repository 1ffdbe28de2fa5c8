#pragma once

// The definitions that the emulator's own symbols hide (the C library's, or the next preloaded
// library's). The emulator reaches files and memory only through these, so that it never re-enters its
// own hooks.

#include <stddef.h>
#include <sys/types.h>

namespace devsim {
namespace real {

int open(const char* path, int flags, mode_t mode);
int openat(int dirfd, const char* path, int flags, mode_t mode);
int close(int fd);
int ioctl(int fd, unsigned long request, void* argument);
void* mmap(void* address, size_t length, int protection, int flags, int fd, off64_t offset);

}  // namespace real
}  // namespace devsim
