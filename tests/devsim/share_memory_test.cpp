// VORNA::ShareMemory: System V segments, and physical memory through the emulated "/dev/mem" and
// "/dev/cache".

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/shm.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "devsim/devsim_fixture.h"
#include "support/peers.h"
#include "support/probes.h"

using namespace testing_support;
using Info_t = VORNA::ShareMemory::Info_t;

static_assert(!std::is_copy_constructible<VORNA::ShareMemory>::value, "ShareMemory owns its mapping");
static_assert(!std::is_copy_assignable<VORNA::ShareMemory>::value, "ShareMemory owns its mapping");

namespace {

// The emulator's physical memory starts at kInsideThePool; nothing lies below it.
const uint32_t kInsideThePool = 0x30000000;
const uint32_t kOutsideThePool = 0x1000;

// Whether the object is empty: no data, size 0, zero record.
int isEmpty(VORNA::ShareMemory& memory) {
    const Info_t zero = {};
    return memory.data() == NULL && memory.size() == 0 && memcmp(memory.info(), &zero, sizeof(zero)) == 0;
}

// What a working object reports: the record, the size as asked for, and cache calls that do nothing but
// tell a segment (-1) from physical memory (0).
void expectWorking(VORNA::ShareMemory& memory, const Info_t& expected) {
    EXPECT_EQ(memcmp(memory.info(), &expected, sizeof(expected)), 0);
    EXPECT_EQ(memory.size(), expected.size);
    EXPECT_EQ(memory.isCached(), expected.type == 1);
    EXPECT_EQ(memory.cacheSize(), 0);
    EXPECT_EQ(memory.flush(memory.data(), expected.size), expected.type == 1 ? 0 : -1);
    EXPECT_EQ(memory.invalid(memory.data(), expected.size), expected.type == 1 ? 0 : -1);
}

// The line a constructor logs for `message`, its line number masked as maskLineNumbers() leaves it.
std::string shmError(const std::string& message) {
    return "[xxxxxxxxxx][ src/ShareMemory ShareMemory #] ERR: " + message;
}

}  // namespace

TEST(ShareMemorySegment, CreatorGetsWholePagesThatPeersShareUntilTheLastOneDetaches) {
    std::unique_ptr<VORNA::ShareMemory> creator(new VORNA::ShareMemory(100, false));
    ASSERT_NE(creator->data(), nullptr);
    Info_t info = *creator->info();
    const Info_t expected = {0, 24, 0, 100, 0, info.shmid};
    expectWorking(*creator, expected);
    shmid_ds state;
    ASSERT_EQ(shmctl(info.shmid, IPC_STAT, &state), 0);
    EXPECT_EQ(state.shm_segsz, static_cast<size_t>(getpagesize()));
    memset(creator->data(), 0x5a, static_cast<size_t>(getpagesize()));  // the whole page is usable
    strcpy(reinterpret_cast<char*>(creator->data()), "from creator");

    // A peer (in another process it would attach through a copy of the record) shares the page, keeps it
    // after the creator is gone, and the segment goes with the last detach.
    std::unique_ptr<VORNA::ShareMemory> peer(new VORNA::ShareMemory(&info, false));
    ASSERT_NE(peer->data(), nullptr);
    expectWorking(*peer, expected);
    strcpy(reinterpret_cast<char*>(peer->data()) + 32, "from peer");
    EXPECT_STREQ(reinterpret_cast<char*>(creator->data()) + 32, "from peer");
    creator.reset();
    EXPECT_STREQ(reinterpret_cast<char*>(peer->data()), "from creator");
    peer.reset();
    EXPECT_NE(shmctl(info.shmid, IPC_STAT, &state), 0) << "the segment outlived its last attachment";
}

TEST_F(HwmemTest, PhysicalMemoryAtAnUnalignedAddressIsSharedWithAPeerProcessAndReleasedWhole) {
    mirel28_mem_addr* block = hwmem_alloc(2 * getpagesize(), 0);
    ASSERT_NE(block, nullptr);
    const uint32_t phys = block->phys + 100;
    strcpy(reinterpret_cast<char*>(addressOf(block->virt)) + 100, "physical");
    const int before = openDescriptorCount();
    {
        VORNA::ShareMemory memory(addressOf(phys), 300, false);
        ASSERT_NE(memory.data(), nullptr);
        EXPECT_EQ(openDescriptorCount() - before, 2) << "\"/dev/mem\" and \"/dev/cache\"";
        EXPECT_EQ(reinterpret_cast<uintptr_t>(memory.data()) % getpagesize(), 100u);
        EXPECT_STREQ(reinterpret_cast<char*>(memory.data()), "physical");
        const Info_t expected = {1, 24, phys, 300, -1, -1};
        expectWorking(memory, expected);
        EXPECT_TRUE(traced(format("mmap /dev/mem offset=0x%x length=%d -> %p", block->phys, getpagesize(),
                                  static_cast<void*>(memory.data() - 100))));

        const auto child = runCheckedInChild([&expected] {
            Info_t copy = expected;  // what a peer process would get
            VORNA::ShareMemory peer(&copy, false);
            ASSERT_NE(peer.data(), nullptr);
            EXPECT_STREQ(reinterpret_cast<char*>(peer.data()), "physical");
            expectWorking(peer, expected);
            strcpy(reinterpret_cast<char*>(peer.data()) + 10, "peer");
        });
        EXPECT_EQ(child.status, 0) << child.out;
        EXPECT_STREQ(reinterpret_cast<char*>(memory.data()) + 10, "peer");
    }
    EXPECT_EQ(openDescriptorCount(), before) << "destruction closes both devices";
    hwmem_free(block);
}

TEST_F(DevsimTest, FailedConstructionsLogTheirLineLeaveEmptyObjectsAndCloseWhatTheyOpened) {
    const std::string invalid = std::to_string(EINVAL) + "/" + strerror(EINVAL);
    // Maps `phys` by address and through a record naming it.
    const auto mapPhysical = [](uint32_t phys) {
        VORNA::ShareMemory memory(addressOf(phys), 64, false);
        printf("empty %d cached %d\n", isEmpty(memory), memory.isCached());
        Info_t info = {1, 24, phys, 64, -1, -1};
        VORNA::ShareMemory peer(&info, false);
        printf("empty %d cached %d\n", isEmpty(peer), peer.isCached());
    };
    const struct {
        const char* failures;
        std::function<void()> construct;
        std::string lines;
    } cases[] = {
        {"",
         [] {
             Info_t unknown = {2, 24, 0, 16, 0, 0};
             Info_t missing = {0, 24, 0, 16, 0, -1};
             VORNA::ShareMemory wrongType(&unknown, false);
             VORNA::ShareMemory noSegment(&missing, false);
             VORNA::ShareMemory nothing(static_cast<Info_t*>(NULL), false);
             VORNA::ShareMemory zeroSize(0, false);
             VORNA::ShareMemory negativeSize(-1, false);
             printf("empty %d %d %d %d %d\n", isEmpty(wrongType), isEmpty(noSegment), isEmpty(nothing),
                    isEmpty(zeroSize), isEmpty(negativeSize));
         },
         shmError("unkown type\n") + shmError("mmap for shrmid(-1) failed(errno=" + invalid + ")\n") +
             shmError("malloc for sharedKey(0) failed(errno=" + invalid + ")\n") +
             shmError("malloc for sharedKey(0) failed(errno=" + invalid + ")\n") + "empty 1 1 1 1 1\n"},
        {"/dev/mem", [&] { mapPhysical(kInsideThePool); },
         shmError("open /dev/mem failed\n") + "empty 1 cached 1\n" + shmError("open /dev/mem failed\n") +
             "empty 1 cached 0\n"},
        {"/dev/cache", [&] { mapPhysical(kInsideThePool); },
         shmError("open /dev/cache failed\n") + "empty 1 cached 1\n" + shmError("open /dev/cache failed\n") +
             "empty 1 cached 0\n"},
        {"", [&] { mapPhysical(kOutsideThePool); },
         shmError("map phys mem failed\n") + "empty 1 cached 1\n" +
             shmError("mmap for phys memory failed\n") + "empty 1 cached 0\n"},
    };
    for (const auto& c : cases) {
        const auto child = runInChild([&c] {
            injectFailures(c.failures);
            const int before = openDescriptorCount();
            c.construct();
            printf("leaked %d\n", openDescriptorCount() - before);
        });
        EXPECT_EQ(child.status, 0);
        EXPECT_EQ(maskLineNumbers(child.out), c.lines + "leaked 0\n") << c.failures;
    }
}
