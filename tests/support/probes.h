#pragma once

// Looks at the foundation from outside: the log lines a scenario printed, and the threads it started, as
// the kernel sees them.

#include <sys/types.h>

#include <string>

namespace testing_support {

// Log lines carry the source line of their call, which moves with every edit of the library; everything
// else is compared exactly. Replaces the line number in each "[ <path> <function> <line>]" field with '#'.
std::string maskLineNumbers(const std::string& text);

// The kernel's identity of the calling thread.
pid_t currentTid();
// The kernel name of a thread of this process (/proc/self/task/<tid>/comm without its newline), or
// "(unreadable)".
std::string kernelThreadName(pid_t tid);
// True while the thread sleeps in the kernel, for example blocked on a lock, a condition or a semaphore.
bool threadIsBlocked(pid_t tid);

}  // namespace testing_support
