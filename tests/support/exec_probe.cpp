#include "support/exec_probe.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "support/child.h"

namespace testing_support {

std::vector<int> descriptorsInheritedByExec() {
    // `ls` runs as the shell's child and lists the shell's descriptors, so that its own directory
    // descriptor is not among them.
    ChildProcess listing(
        [] {
            char shell[] = "/bin/sh";
            char option[] = "-c";
            char command[] = "ls /proc/$$/fd; exit 0";
            char* const argv[] = {shell, option, command, NULL};
            char path[] = "PATH=/usr/bin:/bin";
            char* const envp[] = {path, NULL};
            execve(shell, argv, envp);
        },
        ChildProcess::CAPTURE);
    const int status = listing.finish();
    if (status != 0) {
        ADD_FAILURE() << "the descriptor listing did not run (status " << status << "): " << listing.err();
        return {};
    }
    std::vector<int> numbers;
    std::istringstream lines(listing.out());
    for (int number; lines >> number;)
        numbers.push_back(number);
    return numbers;
}

std::string describeDescriptor(int fd) {
    char target[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const bool readable = readlink(link.c_str(), target, sizeof(target) - 1) >= 0;
    return "fd " + std::to_string(fd) + " (" + (readable ? target : "unreadable") + ")";
}

}  // namespace testing_support
