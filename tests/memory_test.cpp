// System V shared memory, and the allocator's behaviour before hwmem_init(). Physical memory and the
// devices are covered by the tests under devsim/, which run with the device emulator preloaded.

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/shm.h>
#include <unistd.h>

#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/probes.h"
#include "support/share_memory_peer.h"
#include "vorna/memory.h"

using testing_support::maskLineNumbers;
using testing_support::runAsPeer;
using testing_support::runInChild;
using testing_support::shmError;
using Info_t = VORNA::ShareMemory::Info_t;

static_assert(!std::is_copy_constructible<VORNA::ShareMemory>::value, "ShareMemory owns its mapping");
static_assert(!std::is_copy_assignable<VORNA::ShareMemory>::value, "ShareMemory owns its mapping");

namespace {

bool segmentExists(int shmid) {
    shmid_ds state;
    return shmctl(shmid, IPC_STAT, &state) == 0;
}

bool isEmpty(VORNA::ShareMemory& memory) {
    const Info_t zero = {};
    return memory.data() == NULL && memory.size() == 0 && memcmp(memory.info(), &zero, sizeof(zero)) == 0;
}

}  // namespace

TEST(ShareMemorySegment, CreatorGetsWholePagesAndAPeerProcessSharesThemThroughACopyOfInfo) {
    VORNA::ShareMemory creator(100, false);
    ASSERT_NE(creator.data(), nullptr);
    const Info_t* info = creator.info();
    const Info_t expected = {0, 24, 0, 100, 0, info->shmid};
    EXPECT_EQ(memcmp(info, &expected, sizeof(expected)), 0);
    EXPECT_EQ(creator.size(), 100);
    EXPECT_FALSE(creator.isCached());
    EXPECT_EQ(creator.cacheSize(), 0);
    EXPECT_EQ(creator.flush(creator.data(), 100), -1);
    EXPECT_EQ(creator.invalid(creator.data(), 100), -1);
    shmid_ds state;
    ASSERT_EQ(shmctl(info->shmid, IPC_STAT, &state), 0);
    EXPECT_EQ(state.shm_segsz, static_cast<size_t>(getpagesize()));
    memset(creator.data(), 0x5a, static_cast<size_t>(getpagesize()));  // the whole page is usable
    strcpy(reinterpret_cast<char*>(creator.data()), "from creator");

    const auto child = runAsPeer(*info, [](VORNA::ShareMemory& peer) {
        printf("%s|%d|%d|%d\n", reinterpret_cast<char*>(peer.data()), peer.size(), peer.isCached(),
               peer.flush(peer.data(), 1));
        strcpy(reinterpret_cast<char*>(peer.data()) + 32, "from peer");
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.out, "from creator|100|0|-1\n");
    EXPECT_STREQ(reinterpret_cast<char*>(creator.data()) + 32, "from peer");
}

TEST(ShareMemorySegment, DestroyingCreatorFirstLeavesPeerMemoryUntilPeerDetaches) {
    VORNA::ShareMemory* creator = new VORNA::ShareMemory(32, false);
    ASSERT_NE(creator->data(), nullptr);
    strcpy(reinterpret_cast<char*>(creator->data()), "kept");
    Info_t copy = *creator->info();
    const int shmid = copy.shmid;
    VORNA::ShareMemory* peer = new VORNA::ShareMemory(&copy, false);
    ASSERT_NE(peer->data(), nullptr);

    delete creator;
    EXPECT_STREQ(reinterpret_cast<char*>(peer->data()), "kept");
    EXPECT_EQ(memcmp(peer->info(), &copy, sizeof(copy)), 0);

    delete peer;
    EXPECT_FALSE(segmentExists(shmid)) << "the segment outlived its last attachment";
}

TEST(ShareMemorySegment, FailedConstructionsLogTheirLineAndLeaveEmptyObjects) {
    const auto child = runInChild([] {
        Info_t unknown = {2, 24, 0, 16, 0, 0};
        Info_t missing = {0, 24, 0, 16, 0, -1};
        VORNA::ShareMemory wrongType(&unknown, false);
        VORNA::ShareMemory noSegment(&missing, false);
        VORNA::ShareMemory nothing(static_cast<Info_t*>(NULL), false);
        VORNA::ShareMemory zeroSize(0, false);
        VORNA::ShareMemory negativeSize(-1, false);
        printf("empty %d %d %d %d %d\n", isEmpty(wrongType), isEmpty(noSegment), isEmpty(nothing),
               isEmpty(zeroSize), isEmpty(negativeSize));
    });

    EXPECT_EQ(child.status, 0);
    const std::string invalid = std::to_string(EINVAL) + "/" + strerror(EINVAL);
    EXPECT_EQ(maskLineNumbers(child.out),
              shmError("unkown type\n") + shmError("mmap for shrmid(-1) failed(errno=" + invalid + ")\n") +
                  shmError("malloc for sharedKey(0) failed(errno=" + invalid + ")\n") +
                  shmError("malloc for sharedKey(0) failed(errno=" + invalid + ")\n") + "empty 1 1 1 1 1\n");
}

TEST(HwmemWithoutInit, AllocatorsFailCacheRequestsAndFreeReportAndNothingIsClosed) {
    const auto child = runInChild([] {
        printf("%d\n", hwmem_alloc(4096, 0) == NULL);
        printf("%d\n", hwmem_noncache_alloc(100, 3) == NULL);
        char buffer[16];
        hwmem_cache_clean(buffer, sizeof(buffer));
        hwmem_cache_invalidate(buffer, sizeof(buffer));
        hwmem_free(NULL);
        mirel28_mem_addr* block = static_cast<mirel28_mem_addr*>(calloc(1, sizeof(mirel28_mem_addr)));
        block->virt = 0x1000;
        hwmem_free(block);  // releases the record: the leak check of the sanitizers sees to that
        printf("%d\n", hwmem_deinit());
        printf("%d\n", hwmem_phys2virt(reinterpret_cast<unsigned char*>(uintptr_t{0x10000}), 4096) == NULL);
        unsigned char byte = 0;
        printf("%d\n", chunkmem_mmap(-1, 0x1000, 4096) == NULL);
        const int before = testing_support::openDescriptorCount();
        chunkmem_close(-1, &byte);
        printf("%d\n", testing_support::openDescriptorCount() == before);
    });
    EXPECT_EQ(child.out,
              "alloc mem(4096) failed\n1\nalloc mem(100) failed\n1\ninvalid gCachefd\ninvalid gCachefd\n"
              "free mem(0x1000) failed\n0\n1\ninvalid fd:-1.\n1\ninvalid fd:-1.\n1\n");
}
