#pragma once

// VORNA::ShareMemory as a second process sees it, and the log lines its constructors write.

#include <functional>
#include <string>

#include "support/child.h"
#include "vorna/memory.h"

namespace testing_support {

// Builds a ShareMemory from a copy of `published` in a forked child, as a peer process would, and runs
// `use` on it there when it has data (an empty one runs nothing and prints nothing).
inline ChildResult runAsPeer(const VORNA::ShareMemory::Info_t& published,
                             const std::function<void(VORNA::ShareMemory& peer)>& use) {
    return runInChild([&published, &use] {
        VORNA::ShareMemory::Info_t copy = published;
        VORNA::ShareMemory peer(&copy, false);
        if (peer.data() != NULL)
            use(peer);
    });
}

// The line a ShareMemory constructor logs for `message`, its line number masked as maskLineNumbers()
// leaves it.
inline std::string shmError(const std::string& message) {
    return "[xxxxxxxxxx][ src/ShareMemory ShareMemory #] ERR: " + message;
}

}  // namespace testing_support
