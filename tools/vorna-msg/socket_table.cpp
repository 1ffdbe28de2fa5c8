#include "socket_table.h"

#include <dirent.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

// In the table a listening socket carries this flag, and an abstract name shows with a leading @.
constexpr unsigned kAcceptingFlag = 0x10000;
constexpr unsigned kStreamType = 1;
// sun_path holds 108 bytes, the first of them the NUL that makes the name abstract.
constexpr size_t kMaxAbstractName = 107;
constexpr char kSocketLinkPrefix[] = "socket:[";
// The state sock_diag reports for a listening socket (the kernel shares TCP's numbering).
constexpr unsigned kListenState = 10;
constexpr int kDiagMissing = -2;

bool isProcessId(const char* entry) {
    return *entry != '\0' && strspn(entry, "0123456789") == strlen(entry);
}

// The inode of a "socket:[inode]" link, or 0 for a link to anything else.
unsigned long socketInode(const std::string& fdPath) {
    char target[64];
    const ssize_t length = readlink(fdPath.c_str(), target, sizeof(target) - 1);
    if (length <= 0)
        return 0;
    target[length] = '\0';
    if (strncmp(target, kSocketLinkPrefix, sizeof(kSocketLinkPrefix) - 1) != 0)
        return 0;
    return strtoul(target + sizeof(kSocketLinkPrefix) - 1, nullptr, 10);
}

void addSocketsOf(pid_t pid, std::map<unsigned long, pid_t>* owners) {
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fdDir.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = readdir(dir)) {
        const unsigned long inode = isProcessId(entry->d_name) ? socketInode(fdDir + "/" + entry->d_name) : 0;
        if (inode == 0)
            continue;
        auto known = owners->find(inode);
        if (known == owners->end() || known->second > pid)
            (*owners)[inode] = pid;
    }
    closedir(dir);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The table as /proc/net/unix prints it, a line per socket. Names are printed raw there, so a name
// holding a newline reads as two lines: only for kernels (or emulators) without sock_diag.
bool readListeningSocketsFromProc(std::vector<ListeningSocket>* sockets) {
    FILE* table = fopen("/proc/net/unix", "re");
    if (table == nullptr)
        return false;
    // A path shows in full, at most 108 bytes; the rest of a line is short.
    char line[512];
    ListeningSocket socket;
    while (fgets(line, sizeof(line), table) != nullptr) {
        if (parseListeningSocket(line, &socket))
            sockets->push_back(socket);
    }
    fclose(table);
    return true;
}

// The socket of one message, its name as bound: an abstract one starts with a NUL byte.
ListeningSocket boundSocket(const unix_diag_msg* message, size_t length) {
    ListeningSocket socket{"", message->udiag_ino};
    const rtattr* attribute = reinterpret_cast<const rtattr*>(message + 1);
    for (int left = static_cast<int>(length - NLMSG_ALIGN(sizeof(*message))); RTA_OK(attribute, left);
         attribute = RTA_NEXT(attribute, left)) {
        if (attribute->rta_type == UNIX_DIAG_NAME)
            socket.name.assign(static_cast<const char*>(RTA_DATA(attribute)), RTA_PAYLOAD(attribute));
    }
    return socket;
}

// NLMSG_OK, without its comparison of a signed length with an unsigned one.
bool holdsMessage(const nlmsghdr* header, int left) {
    return left >= static_cast<int>(sizeof(nlmsghdr)) && header->nlmsg_len >= sizeof(nlmsghdr) &&
           header->nlmsg_len <= static_cast<unsigned>(left);
}

// Adds the listening stream sockets with abstract names of one reply. Returns 1 when the dump goes on,
// 0 at its end, -1 for an error.
int addDiagReply(const char* reply, ssize_t length, std::vector<ListeningSocket>* sockets) {
    int left = static_cast<int>(length);
    for (const nlmsghdr* header = reinterpret_cast<const nlmsghdr*>(reply); holdsMessage(header, left);
         header = NLMSG_NEXT(header, left)) {
        if (header->nlmsg_type == NLMSG_DONE)
            return 0;
        if (header->nlmsg_type == NLMSG_ERROR)
            return -1;
        const unix_diag_msg* message = static_cast<const unix_diag_msg*>(NLMSG_DATA(header));
        ListeningSocket socket = boundSocket(message, header->nlmsg_len - NLMSG_HDRLEN);
        if (message->udiag_type != SOCK_STREAM || socket.name.size() < 2 || socket.name[0] != '\0')
            continue;
        // NUL bytes inside the name show as '@', as in /proc/net/unix.
        socket.name.erase(0, 1);
        std::replace(socket.name.begin(), socket.name.end(), '\0', '@');
        sockets->push_back(socket);
    }
    return 1;
}

// The kernel's socket table through sock_diag, as ss reads it: each name comes with its length, so no
// byte of a name can pass for a separator. 0, -1 when the dump fails, kDiagMissing without sock_diag.
int readListeningSocketsByDiag(std::vector<ListeningSocket>* sockets) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return kDiagMissing;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } query = {};
    query.header = {sizeof(query), SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, 1, 0};
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_states = 1u << kListenState;
    query.request.udiag_show = UDIAG_SHOW_NAME;
    int status = send(fd, &query, sizeof(query), 0) == static_cast<ssize_t>(sizeof(query)) ? 1 : -1;
    alignas(nlmsghdr) char reply[32768];
    while (status == 1) {
        const ssize_t length = recv(fd, reply, sizeof(reply), 0);
        status = length > 0 ? addDiagReply(reply, length, sockets) : -1;
    }
    close(fd);
    return status;
}

}  // namespace

bool isOverlongName(const std::string& name) {
    return name.size() > kMaxAbstractName;
}

bool parseListeningSocket(const char* line, ListeningSocket* socket) {
    unsigned flags = 0;
    unsigned type = 0;
    unsigned state = 0;
    unsigned long inode = 0;
    int pathStart = -1;
    if (sscanf(line, "%*s %*x %*x %x %x %x %lu %n", &flags, &type, &state, &inode, &pathStart) < 4 ||
        pathStart < 0 || line[pathStart] != '@')
        return false;
    if (type != kStreamType || (flags & kAcceptingFlag) == 0)
        return false;
    std::string name = line + pathStart + 1;
    while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
        name.pop_back();
    socket->name = name;
    socket->inode = inode;
    return true;
}

bool readListeningSockets(std::vector<ListeningSocket>* sockets) {
    const int result = readListeningSocketsByDiag(sockets);
    return result == 0 || (result == kDiagMissing && readListeningSocketsFromProc(sockets));
}

std::map<unsigned long, pid_t> socketOwners() {
    std::map<unsigned long, pid_t> owners;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return owners;
    while (const dirent* entry = readdir(proc)) {
        if (isProcessId(entry->d_name))
            addSocketsOf(static_cast<pid_t>(atol(entry->d_name)), &owners);
    }
    closedir(proc);
    return owners;
}

std::string processCommand(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid);
    std::string command = readWholeFile(dir + "/cmdline");
    while (!command.empty() && command.back() == '\0')
        command.pop_back();
    for (char& c : command) {
        if (c == '\0')
            c = ' ';
    }
    if (!command.empty())
        return command;
    std::string shortName = readWholeFile(dir + "/comm");
    if (!shortName.empty() && shortName.back() == '\n')
        shortName.pop_back();
    return shortName.empty() ? "" : "[" + shortName + "]";
}
