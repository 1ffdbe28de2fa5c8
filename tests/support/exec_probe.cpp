#include "support/exec_probe.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "support/child.h"

namespace testing_support {

std::vector<int> descriptorsInheritedByExec() {
    // `ls` runs as the shell's child and lists the shell's descriptors, so that its own directory
    // descriptor is not among them.
    char shell[] = "/bin/sh";
    char option[] = "-c";
    char command[] = "ls /proc/$$/fd; exit 0";
    char* const argv[] = {shell, option, command, NULL};
    char path[] = "PATH=/usr/bin:/bin";
    char* const envp[] = {path, NULL};
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec: the parent may run threads.
        dup2(output[1], STDOUT_FILENO);
        execve(shell, argv, envp);
        _exit(127);
    }
    close(output[1]);
    std::string listing;
    while (pid > 0 && readSomeBefore(output[0], &listing, nowMs() + 20000)) {
    }
    close(output[0]);
    int status = -1;
    if (pid > 0 && !waitUntil([pid, &status] { return waitpid(pid, &status, WNOHANG) == pid; })) {
        // It closed its output without ending: it lists nothing.
        kill(pid, SIGKILL);
        waitpid(pid, NULL, 0);
        status = -1;
    }
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "the descriptor listing did not run (status " << status << "): " << listing;
        return {};
    }
    std::vector<int> numbers;
    std::istringstream lines(listing);
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
