#pragma once

// Looks at the foundation from outside: the log lines a scenario printed, the threads it started as the
// kernel sees them, and what a program that this process starts finds open.

#include <sys/types.h>

#include <string>
#include <vector>

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

// The descriptors that a program exec'd from a forked child of this process finds open: the check that
// descriptors are close-on-exec, made the way a leak would show on a device. The program is the host's
// shell listing its own descriptors; under qemu-arm it runs natively, and the list then also holds the
// emulator's own descriptors. It runs with an empty environment, so that no preloaded library follows
// it. Fails the test when the program cannot run.
std::vector<int> descriptorsInheritedByExec();

// What the descriptor refers to ("socket:[1234]", "/tmp/x.log", ...), for failure messages.
std::string describeDescriptor(int fd);

}  // namespace testing_support
