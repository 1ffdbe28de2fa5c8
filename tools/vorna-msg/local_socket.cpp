#include "local_socket.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

enum class TableAnswer { kListening, kNotListening, kUnreadable };

// In the kernel's table a listening socket carries this flag, and an abstract name shows with a leading @.
constexpr unsigned kAcceptingFlag = 0x10000;
constexpr unsigned kStreamType = 1;

bool isListeningEntry(const char* line, const std::string& shownName) {
    unsigned flags = 0;
    unsigned type = 0;
    unsigned state = 0;
    unsigned long inode = 0;
    int pathStart = -1;
    if (sscanf(line, "%*s %*x %*x %x %x %x %lu %n", &flags, &type, &state, &inode, &pathStart) < 4 ||
        pathStart < 0)
        return false;
    std::string path = line + pathStart;
    while (!path.empty() && (path.back() == '\n' || path.back() == ' '))
        path.pop_back();
    return path == shownName && type == kStreamType && (flags & kAcceptingFlag) != 0;
}

TableAnswer askSocketTable(const std::string& name) {
    FILE* table = fopen("/proc/net/unix", "re");
    if (table == nullptr)
        return TableAnswer::kUnreadable;
    const std::string shownName = "@" + name;
    char line[512];
    TableAnswer answer = TableAnswer::kNotListening;
    while (answer == TableAnswer::kNotListening && fgets(line, sizeof(line), table) != nullptr) {
        if (isListeningEntry(line, shownName))
            answer = TableAnswer::kListening;
    }
    fclose(table);
    return answer;
}

int localSocket() {
    return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

}  // namespace

socklen_t abstractAddress(const std::string& name, sockaddr_un* address) {
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(name.size() + 3);
}

bool isServerListening(const std::string& name) {
    const TableAnswer answer = askSocketTable(name);
    if (answer != TableAnswer::kUnreadable)
        return answer == TableAnswer::kListening;
    const int fd = connectLocal(name);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

bool requireListeningServer(const char* command, const std::string& name) {
    if (isServerListening(name))
        return true;
    fprintf(stderr, "vorna-msg %s: no server is listening on '%s'\n", command, name.c_str());
    return false;
}

int connectLocal(const std::string& name) {
    const int fd = localSocket();
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

int listenLocal(const std::string& name, int backlog) {
    const int fd = localSocket();
    if (fd < 0)
        return -1;
    sockaddr_un address;
    const socklen_t length = abstractAddress(name, &address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}
