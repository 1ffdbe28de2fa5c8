#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

// Fills `address` with the abstract-namespace address the library uses for `name` (a NUL byte, then the
// name without its terminator) and returns the length to pass with it: the name's length plus 3. The
// name must be at most 107 bytes.
socklen_t abstractAddress(const std::string& name, sockaddr_un* address);

// True when a server listens on `name`. Asks the kernel's socket table first, which touches no server;
// only where that table cannot be read does it try a connection of its own (the server then sees a
// client come and go).
bool isServerListening(const std::string& name);

// A blocking stream socket connected to `name`, or -1 (errno set).
int connectLocal(const std::string& name);

// A listening stream socket bound to `name`, or -1 (errno set).
int listenLocal(const std::string& name, int backlog);
