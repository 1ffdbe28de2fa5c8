// The memory devices the library holds open must not reach a program that the application starts.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "devsim/devsim_fixture.h"
#include "support/exec_probe.h"
#include "support/peers.h"
#include "vorna/memory.h"

namespace {

bool contains(const std::vector<int>& numbers, int number) {
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

}  // namespace

TEST_F(DevsimTest, NoMemoryDeviceOfTheLibraryReachesAProgramStartedByExec) {
    const std::vector<int> before = testing_support::openDescriptors();
    ASSERT_EQ(hwmem_init(), 0);
    mirel28_mem_addr* block = hwmem_alloc(static_cast<unsigned int>(getpagesize()), 0);
    ASSERT_NE(block, nullptr);
    const int chunkmem = chunkmem_open();
    ASSERT_GE(chunkmem, 0);
    {
        VORNA::ShareMemory physical(reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(block->phys)),
                                    getpagesize(), true);
        ASSERT_NE(physical.data(), nullptr);
        // Inheritable on purpose: shows that the listing sees what an exec passes on.
        const int inheritable = open("/dev/null", O_RDONLY);
        ASSERT_GE(inheritable, 0);
        std::vector<int> library;
        for (int fd : testing_support::openDescriptors()) {
            if (!contains(before, fd) && fd != inheritable)
                library.push_back(fd);
        }
        // "/dev/chunkmem", "/dev/qm_ipc" and "/dev/cache" of the allocator, the caller's "/dev/chunkmem",
        // and "/dev/mem" with "/dev/cache" of the mapping.
        EXPECT_EQ(library.size(), 6u);

        const std::vector<int> inherited = testing_support::descriptorsInheritedByExec();
        EXPECT_TRUE(contains(inherited, inheritable)) << "the listing misses a descriptor that is inherited";
        for (int fd : library) {
            EXPECT_FALSE(contains(inherited, fd))
                << testing_support::describeDescriptor(fd) << " reached the exec'd program";
        }
        close(inheritable);
    }
    chunkmem_close(chunkmem, NULL);
    hwmem_free(block);
    hwmem_deinit();
}
