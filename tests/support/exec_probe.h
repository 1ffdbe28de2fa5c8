#pragma once

// What a program that this process starts finds open: the check that descriptors are close-on-exec, made
// the way a leak would show on a device, by exec'ing a program.

#include <string>
#include <vector>

namespace testing_support {

// The descriptors that a program exec'd from a forked child of this process finds open. The program is
// the host's shell listing its own descriptors; under qemu-arm it runs natively, and the list then also
// holds the emulator's own descriptors. It runs with an empty environment, so that no preloaded library
// follows it. Fails the test when the program cannot run.
std::vector<int> descriptorsInheritedByExec();

// What the descriptor refers to ("socket:[1234]", "/tmp/x.log", ...), for failure messages.
std::string describeDescriptor(int fd);

}  // namespace testing_support
