#include "support/share_memory_peer.h"

namespace testing_support {

ChildResult runAsPeer(const VORNA::ShareMemory::Info_t& published,
                      const std::function<void(VORNA::ShareMemory& peer)>& use) {
    return runInChild([&published, &use] {
        VORNA::ShareMemory::Info_t copy = published;
        VORNA::ShareMemory peer(&copy, false);
        if (peer.data() != NULL)
            use(peer);
    });
}

std::string shmError(const std::string& message) {
    return "[xxxxxxxxxx][ src/ShareMemory ShareMemory #] ERR: " + message;
}

}  // namespace testing_support
