// No descriptor the library holds may reach a program that the application starts: checked the way a leak
// would show on a device, by exec'ing a program while the library holds every kind it opens.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "devsim/devsim_fixture.h"
#include "support/peers.h"
#include "support/probes.h"
#include "support/server_harness.h"
#include "vorna/log.h"
#include "vorna/messaging.h"

using namespace testing_support;
using namespace testing;

TEST_F(DevsimTest, NoDescriptorOfTheLibraryReachesAProgramStartedByExec) {
    const std::string logPath = "/tmp/" + uniqueName("cloexec.log");
    const std::string name = uniqueName("cloexec");
    const ChildResult child = runCheckedInChild([&] {
        const std::vector<int> before = openDescriptors();
        LogInit(logPath.c_str());
        ServerEvents events;
        VORNA::Listener server(name.c_str(), 0);
        server.setMsgCbk(ServerEvents::record, &events);
        ASSERT_EQ(server.run(), 0);
        VORNA::Connection notifier(
            name.c_str(), 0, [](void*, unsigned int, void*, int) {}, NULL);
        VORNA::Connection direct(name.c_str(), 0, NULL, NULL);
        ASSERT_TRUE(events.waitForCount(MSG_CONNECTED, 2)) << "the clients were not accepted";
        VORNA::ShareMemory segment(64, false);
        ASSERT_EQ(hwmem_init(), 0);
        mirel28_mem_addr* block = hwmem_alloc(static_cast<unsigned int>(getpagesize()), 0);
        ASSERT_NE(block, nullptr);
        chunkmem_open();  // the child's exit closes what it holds
        VORNA::ShareMemory physical(addressOf(block->phys), getpagesize(), true);
        ASSERT_NE(physical.data(), nullptr);
        // Inheritable on purpose: shows that the listing sees what an exec passes on.
        const int inheritable = open("/dev/null", O_RDONLY);
        const std::vector<int> inherited = descriptorsInheritedByExec();
        EXPECT_THAT(inherited, Contains(inheritable)) << "the listing misses a descriptor that is inherited";
        // The library's descriptors are those open now and not before.
        std::vector<std::string> held;
        for (int fd : openDescriptors()) {
            if (std::count(before.begin(), before.end(), fd) == 0 && fd != inheritable) {
                held.push_back(describeDescriptor(fd));
                EXPECT_THAT(inherited, Not(Contains(fd))) << held.back() << " reached the exec'd program";
            }
        }
        // "/dev/chunkmem", "/dev/qm_ipc" and "/dev/cache" of the allocator, the caller's "/dev/chunkmem", and
        // "/dev/mem" with "/dev/cache" of the physical mapping: the emulator opens its pool for each.
        // Sockets: the listening one, two accepted ones and the two clients'.
        EXPECT_THAT(held, Contains(HasSubstr("devsim.pool)")).Times(6));
        EXPECT_THAT(held, Contains(HasSubstr("(socket:")).Times(Ge(5)));
        EXPECT_THAT(held, Contains(HasSubstr("(" + logPath + ")")).Times(1));
        hwmem_free(block);
        EXPECT_EQ(server.stall(), 0);
    });
    unlink(logPath.c_str());
    EXPECT_EQ(child.status, 0) << child.out;

    // Each device is opened close-on-exec at once, not flagged later, and for reading and writing.
    std::istringstream lines(trace());
    std::vector<unsigned int> openModes;
    for (std::string line; std::getline(lines, line);) {
        unsigned int flags = 0;
        if (sscanf(line.c_str(), "open %*s flags=0x%x", &flags) == 1)
            openModes.push_back(flags & (O_CLOEXEC | O_ACCMODE));
    }
    EXPECT_EQ(openModes, std::vector<unsigned int>(6, O_CLOEXEC | O_RDWR)) << trace();
}
