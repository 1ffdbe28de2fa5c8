#include "support/probes.h"

#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "support/child.h"

namespace testing_support {

namespace {

std::string readTaskFile(pid_t tid, const char* entry) {
    return readFile("/proc/self/task/" + std::to_string(tid) + "/" + entry);
}

}  // namespace

std::string maskLineNumbers(const std::string& text) {
    static const std::regex kSourceField(R"(\[ ([^ \]\n]+) ([^ \]\n]+) -?[0-9]+\])");
    return std::regex_replace(text, kSourceField, "[ $1 $2 #]");
}

pid_t currentTid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

std::string kernelThreadName(pid_t tid) {
    const std::string name = readTaskFile(tid, "comm");
    return name.empty() ? "(unreadable)" : name.substr(0, name.size() - (name.back() == '\n' ? 1 : 0));
}

bool threadIsBlocked(pid_t tid) {
    // The state follows the name, which is in parentheses and may itself hold ')' or spaces.
    const std::string stat = readTaskFile(tid, "stat");
    const size_t nameEnd = stat.rfind(')');
    const char state = nameEnd == std::string::npos || nameEnd + 2 >= stat.size() ? '?' : stat[nameEnd + 2];
    return state == 'S' || state == 'D';
}

std::vector<int> descriptorsInheritedByExec() {
    // `ls` runs as the shell's child and lists the shell's descriptors, so that its own directory
    // descriptor is not among them.
    const ChildResult listing = runInChild([] {
        char* const environment[] = {const_cast<char*>("PATH=/usr/bin:/bin"), NULL};
        execle("/bin/sh", "sh", "-c", "ls /proc/$$/fd; exit 0", static_cast<char*>(NULL), environment);
        _exit(127);  // the shell could not run
    });
    std::vector<int> numbers;
    std::istringstream lines(listing.out);
    for (int number; lines >> number;)
        numbers.push_back(number);
    EXPECT_EQ(0, listing.status) << "the descriptor listing did not run: " << listing.err;
    return listing.status == 0 ? numbers : std::vector<int>();
}

std::string describeDescriptor(int fd) {
    char target[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const bool readable = readlink(link.c_str(), target, sizeof(target) - 1) >= 0;
    return "fd " + std::to_string(fd) + " (" + (readable ? target : "unreadable") + ")";
}

}  // namespace testing_support
