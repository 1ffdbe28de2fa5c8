#pragma once

#include <sys/types.h>
#include <unistd.h>

namespace vorna {

// Remembers the process that created an object which owns sockets and threads. After fork() the child
// holds copies of the descriptors but none of the threads, and the sockets are shared with the parent: a
// teardown in the child must only close its own copies, never shut a socket down or wait for a thread.
class OwnerProcess {
  public:
    OwnerProcess() : mPid(getpid()) {}
    bool isCurrent() const { return getpid() == mPid; }

  private:
    pid_t mPid;
};

}  // namespace vorna
