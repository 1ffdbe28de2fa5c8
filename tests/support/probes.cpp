#include "support/probes.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <regex>

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
    std::string name = readTaskFile(tid, "comm");
    if (name.empty())
        return "(unreadable)";
    if (name.back() == '\n')
        name.pop_back();
    return name;
}

bool threadIsBlocked(pid_t tid) {
    // The state follows the name, which is in parentheses and may itself hold ')' or spaces.
    const std::string stat = readTaskFile(tid, "stat");
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos || nameEnd + 2 >= stat.size())
        return false;
    const char state = stat[nameEnd + 2];
    return state == 'S' || state == 'D';
}

}  // namespace testing_support
