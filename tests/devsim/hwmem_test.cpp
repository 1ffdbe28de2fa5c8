// The allocator against the emulated chunk-memory, physical-mapping and cache devices.

#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "devsim/devsim_fixture.h"
#include "support/child.h"
#include "vorna/memory.h"

using testing_support::runInChild;

namespace {

const char kOpenedAll[] = "open /dev/chunkmem success\nopen /dev/qm_ipc success\nopen /dev/cache success\n";

unsigned char* addressOf(uint32_t word) {
    return reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(word));
}

void fillPattern(unsigned char* bytes, size_t length, unsigned char seed) {
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>(seed + i * 7);
}

bool isMapped(unsigned char* start, size_t length) {
    unsigned char residency[4];
    return mincore(start, length, residency) == 0;
}

}  // namespace

TEST_F(DevsimTest, InitIsCountedOnlyTheFirstOpensTheDevicesAndAFailedOneRollsBack) {
    const auto child = runInChild([] {
        const int before = testing_support::openDescriptorCount();
        injectFailures("/dev/cache");
        printf("init %d\n", hwmem_init());
        printf("nothing left open %d\n", testing_support::openDescriptorCount() == before);
        printf("closed %d\n", hwmem_alloc(64, 0) == NULL);
        injectFailures("");
        printf("init %d %d\n", hwmem_init(), hwmem_init());
        printf("deinit %d\n", hwmem_deinit());
        mirel28_mem_addr* block = hwmem_alloc(4096, 0);
        printf("still open %d\n", block != NULL);
        hwmem_free(block);
        printf("deinit %d\n", hwmem_deinit());
        printf("closed %d\n", hwmem_alloc(4096, 0) == NULL);
        printf("deinit %d\n", hwmem_deinit());
        printf("init %d\n", hwmem_init());
        hwmem_deinit();
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.out,
              "open /dev/chunkmem success\nopen /dev/qm_ipc success\nopen /dev/cache failed\ninit -1\n"
              "nothing left open 1\nalloc mem(64) failed\nclosed 1\n" +
                  std::string(kOpenedAll) + "init 0 0\ndeinit 0\nstill open 1\ndeinit 0\n" +
                  "alloc mem(4096) failed\nclosed 1\ndeinit 0\n" + kOpenedAll + "init 0\n");
}

TEST_F(DevsimTest, ThreadsThatInitialiseAtOnceOpenEachDeviceOnce) {
    const auto child = runInChild([] {
        const int kThreads = 4;
        const int before = testing_support::openDescriptorCount();
        for (int round = 0; round < 50; ++round) {
            std::atomic<int> arrived{0};
            std::vector<std::thread> threads;
            for (int i = 0; i < kThreads; ++i) {
                threads.emplace_back([&] {
                    // Released together, so that the inits overlap.
                    for (++arrived; arrived < kThreads;)
                        std::this_thread::yield();
                    hwmem_init();
                });
            }
            for (std::thread& thread : threads)
                thread.join();
            const int opened = testing_support::openDescriptorCount() - before;
            for (int i = 0; i < kThreads; ++i)
                hwmem_deinit();
            const int left = testing_support::openDescriptorCount() - before;
            if (opened != 3 || left != 0) {
                fprintf(stderr, "round %d: %d descriptors open after the inits, %d after as many deinits\n",
                        round, opened, left);
                return;
            }
        }
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.err, "");
}

TEST_F(HwmemTest, AllocatedBlockReadsBackThroughBothPhysicalMappings) {
    mirel28_mem_addr* block = hwmem_alloc(8192, 5);
    ASSERT_NE(block, nullptr);
    ASSERT_GE(block->size, 8192u);
    unsigned char* own = addressOf(block->virt);
    fillPattern(own, block->size, 1);

    unsigned char* mapped = hwmem_phys2virt(addressOf(block->phys), static_cast<int>(block->size));
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(memcmp(mapped, own, block->size), 0);

    const int fd = chunkmem_open();
    ASSERT_GE(fd, 0);
    unsigned char* chunk = chunkmem_mmap(fd, block->phys, static_cast<int>(block->size));
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(memcmp(chunk, own, block->size), 0);

    fillPattern(chunk, block->size, 99);
    EXPECT_EQ(memcmp(own, chunk, block->size), 0);
    EXPECT_EQ(memcmp(mapped, chunk, block->size), 0);

    chunkmem_close(fd, chunk);
    hwmem_free_virt(mapped, static_cast<int>(block->size));
    EXPECT_TRUE(
        traced(format("ioctl /dev/chunkmem alloc size=8192 driver_arg=5 -> phys=0x%08x virt=0x%08x size=%u",
                      block->phys, block->virt, block->size)));
    // Cache requests carry the caller's range unrounded.
    hwmem_cache_clean(own + 13, 201);
    hwmem_cache_invalidate(own + 1013, 3);
    EXPECT_TRUE(traced(format("ioctl /dev/cache clean addr=0x%08x size=201 -> 0", block->virt + 13)));
    EXPECT_TRUE(traced(format("ioctl /dev/cache invalidate addr=0x%08x size=3 -> 0", block->virt + 1013)));
    hwmem_free(block);

    block = hwmem_noncache_alloc(100, 12);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(traced(
        format("ioctl /dev/chunkmem noncache-alloc size=100 driver_arg=12 -> phys=0x%08x virt=0x%08x size=%u",
               block->phys, block->virt, block->size)));
    const uint32_t virt = block->virt;
    hwmem_free(block);
    EXPECT_TRUE(traced(format("ioctl /dev/chunkmem free virt=0x%08x -> 0", virt)));
}

TEST_F(HwmemTest, BlockAllocatedHereIsSharedWithAnotherProcess) {
    mirel28_mem_addr* block = hwmem_alloc(4096, 0);
    ASSERT_NE(block, nullptr);
    strcpy(reinterpret_cast<char*>(addressOf(block->virt)), "parent");
    const mirel28_mem_addr copy = *block;

    const auto child = runInChild([copy] {
        if (hwmem_init() != 0)
            return;
        unsigned char* mapped = hwmem_phys2virt(addressOf(copy.phys), static_cast<int>(copy.size));
        if (mapped == NULL)
            return;
        printf("child reads %s\n", reinterpret_cast<char*>(mapped));
        strcpy(reinterpret_cast<char*>(mapped) + 100, "child");
        hwmem_free_virt(mapped, static_cast<int>(copy.size));
        hwmem_deinit();
    });

    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.out, "child reads parent\n") << "the forked child shares the open devices: no open lines";
    EXPECT_STREQ(reinterpret_cast<char*>(addressOf(block->virt)) + 100, "child");
    hwmem_free(block);
}

TEST_F(HwmemTest, UnalignedPhysicalAddressMapsTheWholePagesAroundIt) {
    const uint32_t page = static_cast<uint32_t>(getpagesize());
    mirel28_mem_addr* block = hwmem_alloc(2 * page, 0);
    ASSERT_NE(block, nullptr);
    const uint32_t offset = page - 96;  // 4000 with 4096-byte pages: 200 bytes cross into the next page
    fillPattern(addressOf(block->virt), block->size, 3);

    unsigned char* mapped = hwmem_phys2virt(addressOf(block->phys + offset), 200);
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mapped) % page, offset);
    EXPECT_TRUE(traced(format("mmap /dev/qm_ipc offset=0x%x length=%u -> %p", block->phys, 2 * page,
                              static_cast<void*>(mapped - offset))));
    EXPECT_EQ(memcmp(mapped, addressOf(block->virt) + offset, 200), 0);
    mapped[199] = 0xee;
    EXPECT_EQ(addressOf(block->virt)[offset + 199], 0xee);

    const auto child = runInChild([mapped, block] {
        hwmem_free_virt(mapped, 200);
        printf("%d\n", hwmem_phys2virt(addressOf(block->phys), 0) == NULL);
    });
    EXPECT_EQ(child.out, "1\n") << "unmapping what was mapped must not fail; a zero size maps nothing";
    hwmem_free_virt(mapped, 200);
    EXPECT_FALSE(isMapped(mapped - offset, page));
    EXPECT_FALSE(isMapped(mapped - offset + page, page));
    hwmem_free(block);
}

TEST_F(HwmemTest, ChunkmemMmapReportsADifferentBlockSizeAndStillMaps) {
    mirel28_mem_addr* block = hwmem_alloc(5000, 0);
    ASSERT_NE(block, nullptr);
    ASSERT_NE(block->size, 5000u) << "the emulator grants whole pages";
    strcpy(reinterpret_cast<char*>(addressOf(block->virt)), "block");
    const mirel28_mem_addr copy = *block;

    const auto child = runInChild([copy] {
        const int fd = chunkmem_open();
        unsigned char* chunk = chunkmem_mmap(fd, copy.phys, 5000);
        printf("%s\n", chunk != NULL ? reinterpret_cast<char*>(chunk) : "(null)");
        chunkmem_close(fd, chunk);
    });
    EXPECT_EQ(child.out, format("mmap block size %d is not equal to allocation size 5000 .\nblock\n",
                                static_cast<int>(block->size)));
    hwmem_free(block);
}

TEST_F(HwmemTest, RefusedRequestsPrintTheirLines) {
    mirel28_mem_addr* block = hwmem_alloc(4096, 0);
    ASSERT_NE(block, nullptr);
    const mirel28_mem_addr copy = *block;
    const uint32_t noBlockStartsHere = copy.phys + 4096 * 1000;
    const auto child = runInChild([copy, noBlockStartsHere] {
        injectFailures("alloc,noncache-alloc,clean,invalidate,free");
        printf("%d\n", hwmem_alloc(300, 0) == NULL);
        printf("%d\n", hwmem_noncache_alloc(301, 0) == NULL);
        hwmem_cache_clean(addressOf(copy.virt), 4);
        hwmem_cache_invalidate(addressOf(copy.virt), 4);
        mirel28_mem_addr* record = static_cast<mirel28_mem_addr*>(malloc(sizeof(mirel28_mem_addr)));
        *record = copy;
        hwmem_free(record);
        const int before = testing_support::openDescriptorCount();
        const int fd = chunkmem_open();
        printf("%d\n", chunkmem_mmap(fd, noBlockStartsHere, 4096) == NULL);
        chunkmem_close(fd, addressOf(copy.virt));
        printf("left open %d\n", testing_support::openDescriptorCount() - before);
    });
    EXPECT_EQ(child.out,
              format("alloc mem(300) failed\n1\nalloc mem(301) failed\n1\n"
                     "cache clean failed, ret=-1 errno=%d\ncache invalidate failed, ret=-1 errno=%d\n"
                     "free mem(0x%x) failed\nmmap mem(0x%x) failed\n1\nfree mem(0x%x) failed\nleft open 0\n",
                     EIO, EIO, copy.virt, noBlockStartsHere, copy.virt));
    hwmem_free(block);
}
