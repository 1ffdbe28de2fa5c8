#include "internal/socket_activation.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>

#include "internal/socket_io.h"

namespace {

// The service manager's descriptors start after standard input, output and error.
const int kFirstHandedFd = 3;
// Descriptors beyond the 64 that the mask below follows are never adopted; no unit hands that many.
const int kMaxHandedFds = 64;

// Bit i: descriptor kFirstHandedFd + i has been adopted. Lives as long as the process, as the variables
// do, so that a server that runs again after stall() never takes a descriptor number it closed itself.
std::atomic<uint64_t> gAdopted(0);

// A whole decimal number of the environment, or -1.
long environmentNumber(const char* variable) {
    const char* text = getenv(variable);
    if (text == nullptr || *text == '\0')
        return -1;
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= 0 ? value : -1;
}

// How many descriptors the service manager handed to this very process (not to a parent that forked it
// or started it with the variables still set); 0 when none.
int handedDescriptorCount() {
    if (environmentNumber("LISTEN_PID") != static_cast<long>(getpid()))
        return 0;
    const long count = environmentNumber("LISTEN_FDS");
    if (count <= 0)
        return 0;
    return count < kMaxHandedFds ? static_cast<int>(count) : kMaxHandedFds;
}

int socketOption(int fd, int option) {
    int value = 0;
    socklen_t length = sizeof(value);
    return getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

bool isListeningSocketNamed(int fd, const char* name) {
    if (socketOption(fd, SO_DOMAIN) != AF_UNIX || socketOption(fd, SO_TYPE) != SOCK_STREAM ||
        socketOption(fd, SO_ACCEPTCONN) != 1)
        return false;
    sockaddr_un wanted;
    socklen_t wantedLength;
    if (!vorna::makeAbstractAddress(name, &wanted, &wantedLength))
        return false;
    sockaddr_un bound = {};
    socklen_t boundLength = sizeof(bound);
    return getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0 &&
           boundLength == wantedLength && memcmp(&bound, &wanted, wantedLength) == 0;
}

}  // namespace

namespace vorna {

int adoptActivatedSocket(const char* name) {
    const int count = handedDescriptorCount();
    const uint64_t all = count == kMaxHandedFds ? ~uint64_t(0) : (uint64_t(1) << count) - 1;
    for (int index = 0; index < count; ++index) {
        const uint64_t bit = uint64_t(1) << index;
        const int fd = kFirstHandedFd + index;
        if ((gAdopted.load() & bit) != 0 || !isListeningSocketNamed(fd, name))
            continue;
        const uint64_t before = gAdopted.fetch_or(bit);
        if ((before & bit) != 0)
            continue;  // another server of this process took it meanwhile
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        // Not at the first adoption: a second server of this process may still look for its own socket.
        if (((before | bit) & all) == all) {
            unsetenv("LISTEN_PID");
            unsetenv("LISTEN_FDS");
            unsetenv("LISTEN_FDNAMES");
        }
        return fd;
    }
    return -1;
}

}  // namespace vorna
