#include "local_socket.h"

#include <string.h>
#include <unistd.h>

#include <vector>

#include "socket_table.h"

namespace {

enum class TableAnswer { kListening, kNotListening, kUnreadable };

TableAnswer askSocketTable(const std::string& name) {
    std::vector<ListeningSocket> sockets;
    if (!readListeningSockets(&sockets))
        return TableAnswer::kUnreadable;
    for (const ListeningSocket& socket : sockets) {
        if (socket.name == name)
            return TableAnswer::kListening;
    }
    return TableAnswer::kNotListening;
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
