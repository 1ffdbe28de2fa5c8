// Linked into every example when CI builds it (the examples themselves do not know about it): at exit it
// reports each descriptor that is open then but was not open when the program started, so that a leaked
// socket, file or device fails the example's test. Descriptors whose target contains one of the
// ';'-separated texts in VORNA_EXAMPLE_KEEP_OPEN are expected to stay (a log file that is never closed,
// the device emulator's pool). Every process that ends through exit() reports, a forked child included.

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>

namespace {

std::string targetOf(int fd) {
    char link[64];
    char target[512];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    return length < 0 ? std::string("?") : std::string(target, static_cast<size_t>(length));
}

// Every descriptor of the process with what it refers to. Under qemu-arm this includes the emulator's
// own, which are open at start as well and so cancel out.
std::map<int, std::string> openDescriptors() {
    std::map<int, std::string> open;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == NULL)
        return open;
    const int listing = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != listing)
            open[fd] = targetOf(fd);
    }
    closedir(dir);
    return open;
}

bool expectedToStay(const std::string& target) {
    const char* keep = getenv("VORNA_EXAMPLE_KEEP_OPEN");
    if (keep == NULL)
        return false;
    const std::string list = keep;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string item = list.substr(start, end - start);
        if (!item.empty() && target.find(item) != std::string::npos)
            return true;
        start = end + 1;
    }
    return false;
}

class ExitAudit {
  public:
    ExitAudit() : mAtStart(openDescriptors()) {}

    ~ExitAudit() {
        int leaked = 0;
        for (const auto& entry : openDescriptors()) {
            const auto before = mAtStart.find(entry.first);
            if ((before != mAtStart.end() && before->second == entry.second) || expectedToStay(entry.second))
                continue;
            fprintf(stderr, "exit audit: descriptor %d left open: %s\n", entry.first, entry.second.c_str());
            ++leaked;
        }
        if (leaked == 0)
            fprintf(stderr, "exit audit: no descriptor left open\n");
    }

  private:
    std::map<int, std::string> mAtStart;
};

// Constructed before main() and destroyed after it returns, when the example has released what it holds.
ExitAudit gExitAudit;

}  // namespace
