#include "settings.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "real.h"

namespace devsim {

namespace {

const uint32_t kDefaultPoolSize = 16u << 20;
// The emulated physical range must stay below 4 GiB together with its base.
const uint32_t kLargestPoolSize = 1u << 30;

uint32_t pageRounded(uint64_t bytes) {
    const uint64_t page = static_cast<uint64_t>(getpagesize());
    return static_cast<uint32_t>((bytes + page - 1) / page * page);
}

}  // namespace

void poolPath(char* buffer, size_t size) {
    const char* chosen = getenv("VORNA_DEVSIM_POOL");
    if (chosen != NULL && chosen[0] != '\0')
        snprintf(buffer, size, "%s", chosen);
    else
        snprintf(buffer, size, "/tmp/vorna-devsim-%u.pool", static_cast<unsigned int>(getuid()));
}

uint32_t poolSize() {
    const char* text = getenv("VORNA_DEVSIM_POOL_SIZE");
    if (text == NULL || text[0] == '\0')
        return kDefaultPoolSize;
    char* end = NULL;
    uint64_t bytes = strtoull(text, &end, 0);
    switch (*end) {
        case 'G':
        case 'g':
            bytes <<= 10;
            [[fallthrough]];
        case 'M':
        case 'm':
            bytes <<= 10;
            [[fallthrough]];
        case 'K':
        case 'k':
            bytes <<= 10;
            break;
        default:
            break;
    }
    if (bytes == 0)
        return kDefaultPoolSize;
    return pageRounded(bytes < kLargestPoolSize ? bytes : kLargestPoolSize);
}

bool injected(const char* item) {
    const char* list = getenv("VORNA_DEVSIM_FAIL");
    if (list == NULL)
        return false;
    const size_t length = strlen(item);
    for (const char* entry = list; *entry != '\0';) {
        const char* comma = strchr(entry, ',');
        const size_t entryLength = comma != NULL ? static_cast<size_t>(comma - entry) : strlen(entry);
        if (entryLength == length && strncmp(entry, item, length) == 0)
            return true;
        if (comma == NULL)
            break;
        entry = comma + 1;
    }
    return false;
}

void trace(const char* format, ...) {
    const char* path = getenv("VORNA_DEVSIM_TRACE");
    if (path == NULL || path[0] == '\0')
        return;
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof(line) - 1, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    if (static_cast<size_t>(length) > sizeof(line) - 2)
        length = sizeof(line) - 2;
    line[length++] = '\n';
    // One write per line on an O_APPEND descriptor keeps lines of several processes whole.
    const int fd = real::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line, static_cast<size_t>(length)) < 0) {
        // A lost trace line must not change what the emulated device does.
    }
    real::close(fd);
}

}  // namespace devsim
