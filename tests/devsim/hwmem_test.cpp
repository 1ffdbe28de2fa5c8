// The allocator against the emulated chunk-memory, physical-mapping and cache devices, and the emulator
// itself: it must answer like the driver.

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "devsim/devsim_fixture.h"
#include "support/peers.h"
#include "support/probes.h"

using namespace testing_support;

namespace {

const char kOpenedAll[] = "open /dev/chunkmem success\nopen /dev/qm_ipc success\nopen /dev/cache success\n";

bool isMapped(unsigned char* start, size_t length) {
    unsigned char residency[4];
    return mincore(start, length, residency) == 0;
}

}  // namespace

TEST_F(DevsimTest, RequestsTheDriverWouldRefuseFailAndOtherFilesPassThrough) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    EXPECT_EQ(write(null, "x", 1), 1);
    EXPECT_EQ(close(null), 0);
    EXPECT_EQ(trace(), "");
    uint32_t words[16] = {0, 0, 4096};
    // The device, the request, and the error: ENOTTY for an unknown request, EINVAL for a known one with
    // another argument size.
    const std::tuple<const char*, unsigned long, int> cases[] = {
        {"/dev/cache", _IOW('C', 9, uint32_t[2]), ENOTTY},
        {"/dev/cache", _IOW('X', 3, uint32_t[2]), ENOTTY},
        {"/dev/chunkmem", _IOWR('C', 1, uint32_t[16]), EINVAL},
        {"/dev/chunkmem", _IOW('C', 1, uint32_t[9]), EINVAL},  // a write-only allocate request
    };
    for (const auto& [device, request, error] : cases) {
        const int fd = open(device, O_RDWR | O_CLOEXEC);
        errno = 0;
        EXPECT_EQ(ioctl(fd, request, words), -1) << std::hex << request;
        EXPECT_EQ(errno, error) << std::hex << request;
        close(fd);
    }
    EXPECT_TRUE(traced(format("ioctl /dev/cache 0x%08lx -> error %d", std::get<1>(cases[0]), ENOTTY)));
}

TEST_F(DevsimTest, WithoutInitCallsFailAndInitIsCountedOpensOnceAndRollsBackAFailure) {
    const auto child = runInChild([] {
        printf("%d\n", hwmem_alloc(4096, 0) == NULL);
        printf("%d\n", hwmem_noncache_alloc(100, 3) == NULL);
        char buffer[16];
        hwmem_cache_clean(buffer, sizeof(buffer));
        hwmem_cache_invalidate(buffer, sizeof(buffer));
        hwmem_free(NULL);
        mirel28_mem_addr* record = static_cast<mirel28_mem_addr*>(calloc(1, sizeof(mirel28_mem_addr)));
        record->virt = 0x1000;
        hwmem_free(record);  // releases the record: the sanitizers' leak check sees to that
        printf("deinit %d\n", hwmem_deinit());
        printf("%d\n", hwmem_phys2virt(addressOf(0x10000), 4096) == NULL);
        unsigned char byte = 0;
        const int before = openDescriptorCount();
        printf("%d\n", chunkmem_mmap(-1, 0x1000, 4096) == NULL);
        chunkmem_close(-1, &byte);
        injectFailures("/dev/cache");
        printf("init %d\n", hwmem_init());
        printf("nothing left open %d\n", openDescriptorCount() == before);
        printf("closed %d\n", hwmem_alloc(64, 0) == NULL);
        injectFailures("");
        printf("init %d", hwmem_init());
        printf(" %d\n", hwmem_init());
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
              "alloc mem(4096) failed\n1\nalloc mem(100) failed\n1\ninvalid gCachefd\ninvalid gCachefd\n"
              "free mem(0x1000) failed\ndeinit 0\n1\ninvalid fd:-1.\n1\ninvalid fd:-1.\n"
              "open /dev/chunkmem success\nopen /dev/qm_ipc success\nopen /dev/cache failed\ninit -1\n"
              "nothing left open 1\nalloc mem(64) failed\nclosed 1\n" +
                  std::string(kOpenedAll) + "init 0 0\ndeinit 0\nstill open 1\ndeinit 0\n" +
                  "alloc mem(4096) failed\nclosed 1\ndeinit 0\n" + kOpenedAll + "init 0\n");
}

TEST_F(DevsimTest, ThreadsThatInitialiseAtOnceOpenEachDeviceOnce) {
    // The emulator traces each device open by opening its trace file. A FIFO without a reader holds the
    // first thread to open a device there: every other thread that the lock does not keep out opens too.
    const std::string fifo = "/tmp/" + uniqueName("devsim.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto child = runInChild([&fifo] {
        setenv("VORNA_DEVSIM_TRACE", fifo.c_str(), 1);
        const int before = openDescriptorCount();
        std::atomic<pid_t> tids[4] = {};
        std::vector<std::thread> threads;
        for (std::atomic<pid_t>& tid : tids) {
            threads.emplace_back([&tid] {
                tid = currentTid();
                hwmem_init();
            });
        }
        int stillBlocked = 0;  // polls in a row that found every thread blocked
        waitUntil([&] {
            for (std::atomic<pid_t>& tid : tids) {
                if (tid == 0 || !threadIsBlocked(tid))
                    return (stillBlocked = 0) != 0;
            }
            return ++stillBlocked >= 5;
        });
        const int reader = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        for (std::thread& thread : threads)
            thread.join();
        printf("opened %d\n", openDescriptorCount() - before - 1);
        for (int i = 0; i < 4; ++i)
            hwmem_deinit();
        printf("left %d\n", openDescriptorCount() - before - 1);
        close(reader);
    });
    unlink(fifo.c_str());
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.out, std::string(kOpenedAll) + "opened 3\nleft 0\n");
}

TEST_F(HwmemTest, BlocksAreSharedThroughBothPhysicalMappingsFromAnyAddressAndTheirRequestsReachTheDevice) {
    const uint32_t page = static_cast<uint32_t>(getpagesize());
    mirel28_mem_addr* block = hwmem_alloc(5000, 5);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(block->size, 2 * page) << "the emulator grants whole pages";
    EXPECT_TRUE(
        traced(format("ioctl /dev/chunkmem alloc size=5000 driver_arg=5 -> phys=0x%08x virt=0x%08x size=%u",
                      block->phys, block->virt, block->size)));
    unsigned char* own = addressOf(block->virt);
    // Cache requests carry the caller's range unrounded.
    hwmem_cache_clean(own + 13, 201);
    hwmem_cache_invalidate(own + 1013, 3);
    EXPECT_TRUE(traced(format("ioctl /dev/cache clean addr=0x%08x size=201 -> 0", block->virt + 13)));
    EXPECT_TRUE(traced(format("ioctl /dev/cache invalidate addr=0x%08x size=3 -> 0", block->virt + 1013)));
    memcpy(own, patternBytes(block->size, 1).data(), block->size);
    const std::string pattern = patternBytes(block->size, 2);

    // An unaligned range that crosses into the next page maps both pages.
    const uint32_t offset = page - 96;
    unsigned char* mapped = hwmem_phys2virt(addressOf(block->phys + offset), 200);
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mapped) % page, offset);
    ASSERT_TRUE(traced(format("mmap /dev/qm_ipc offset=0x%x length=%u -> %p", block->phys, 2 * page,
                              static_cast<void*>(mapped - offset))));
    EXPECT_EQ(memcmp(mapped, own + offset, 200), 0);
    mapped[199] = 0xee;
    EXPECT_EQ(own[offset + 199], 0xee);

    // The forked child shares the open devices (its init opens nothing) and the mapping: unmapping it there
    // must not fail. A zero size maps nothing.
    const auto child = runInChild([&pattern, block, mapped] {
        hwmem_free_virt(mapped, 200);
        printf("%d\n", hwmem_phys2virt(addressOf(block->phys), 0) == NULL);
        unsigned char* whole =
            hwmem_init() == 0 ? hwmem_phys2virt(addressOf(block->phys), block->size) : NULL;
        const int fd = chunkmem_open();
        unsigned char* chunk = chunkmem_mmap(fd, block->phys, 5000);
        if (whole == NULL || chunk == NULL)
            return;
        printf("same %d %d\n", memcmp(whole, addressOf(block->virt), block->size) == 0,
               memcmp(chunk, addressOf(block->virt), 5000) == 0);
        memcpy(whole, pattern.data(), block->size);
        printf("chunk sees the write %d\n", memcmp(chunk, pattern.data(), 5000) == 0);
        chunkmem_close(fd, chunk);
        hwmem_free_virt(whole, static_cast<int>(block->size));
        hwmem_deinit();
    });
    EXPECT_EQ(child.out, format("1\nmmap block size %d is not equal to allocation size 5000 .\n"
                                "same 1 1\nchunk sees the write 1\n",
                                static_cast<int>(block->size)));
    EXPECT_EQ(memcmp(own, pattern.data(), block->size), 0) << "the parent misses the child's write";
    hwmem_free_virt(mapped, 200);
    EXPECT_FALSE(isMapped(mapped - offset, page));
    EXPECT_FALSE(isMapped(mapped - offset + page, page));
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
        const int before = openDescriptorCount();
        const int fd = chunkmem_open();
        printf("%d\n", chunkmem_mmap(fd, noBlockStartsHere, 4096) == NULL);
        chunkmem_close(fd, addressOf(copy.virt));
        printf("left open %d\n", openDescriptorCount() - before);
    });
    EXPECT_EQ(child.out,
              format("alloc mem(300) failed\n1\nalloc mem(301) failed\n1\n"
                     "cache clean failed, ret=-1 errno=%d\ncache invalidate failed, ret=-1 errno=%d\n"
                     "free mem(0x%x) failed\nmmap mem(0x%x) failed\n1\nfree mem(0x%x) failed\nleft open 0\n",
                     EIO, EIO, copy.virt, noBlockStartsHere, copy.virt));
    hwmem_free(block);
}
