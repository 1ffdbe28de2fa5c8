#pragma once

#include <atomic>

namespace vorna {

// Counts the fork() calls that made this process, as seen by the library's pthread_atfork child handler:
// 0 in a process that no fork() made. Reading it costs a load, where getpid() would cost a system call
// on every operation. A child made by a raw clone() or _Fork() skips the fork handlers and so keeps its
// parent's generation.
unsigned forkGeneration();

// Remembers the process that created an object which owns sockets and threads. After fork() the child
// holds copies of the descriptors but none of the threads, and the sockets are shared with the parent: a
// teardown in the child must only close its own copies, never shut a socket down or wait for a thread.
class OwnerProcess {
  public:
    OwnerProcess() : mGeneration(forkGeneration()) {}
    bool isCurrent() const { return forkGeneration() == mGeneration; }

  private:
    unsigned mGeneration;
};

}  // namespace vorna
