#include "socket_table.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace {

// In the table a listening socket carries this flag, and an abstract name shows with a leading @.
constexpr unsigned kAcceptingFlag = 0x10000;
constexpr unsigned kStreamType = 1;
// sun_path holds 108 bytes, the first of them the NUL that makes the name abstract.
constexpr size_t kMaxAbstractName = 107;
constexpr char kSocketLinkPrefix[] = "socket:[";

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
