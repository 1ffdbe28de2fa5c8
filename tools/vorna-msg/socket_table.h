#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// The kernel's table of local sockets (/proc/net/unix), read for the servers that listen on abstract names.

struct ListeningSocket {
    std::string name;     // the abstract name as the kernel shows it: NUL bytes in it appear as '@'
    unsigned long inode;  // matches the "socket:[inode]" links under /proc/PID/fd
};

// True for a name that no libvorna client can reach: longer than the 107 bytes an abstract address holds.
bool isOverlongName(const std::string& name);

// Parses one line of the table. True for a listening stream socket with an abstract name.
bool parseListeningSocket(const char* line, ListeningSocket* socket);

// Every listening stream socket with an abstract name, in the table's order. False when the table cannot
// be read.
bool readListeningSockets(std::vector<ListeningSocket>* sockets);

// For each socket inode that some process holds open, the lowest such process id. Processes whose
// descriptors the caller may not see (another user's, without privileges) are left out.
std::map<unsigned long, pid_t> socketOwners();

// The command line of a process, its arguments joined by spaces; its short name in brackets when it has
// no command line; empty when it cannot be read.
std::string processCommand(pid_t pid);
