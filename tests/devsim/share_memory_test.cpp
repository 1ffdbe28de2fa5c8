// Physical VORNA::ShareMemory through the emulated "/dev/mem" and "/dev/cache".

#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "devsim/devsim_fixture.h"
#include "support/child.h"
#include "support/probes.h"
#include "support/share_memory_peer.h"
#include "vorna/memory.h"

using testing_support::maskLineNumbers;
using testing_support::runAsPeer;
using testing_support::runInChild;
using testing_support::shmError;
using Info_t = VORNA::ShareMemory::Info_t;

namespace {

// The emulator's physical memory starts at kInsideThePool; nothing lies below it.
const uint32_t kInsideThePool = 0x30000000;
const uint32_t kOutsideThePool = 0x1000;

unsigned char* addressOf(uint32_t word) {
    return reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(word));
}

// A block of emulated physical memory to map, allocated for the test.
class PhysicalShareMemoryTest : public HwmemTest {
  protected:
    void SetUp() override {
        HwmemTest::SetUp();
        if (HasFatalFailure())
            return;
        mBlock = hwmem_alloc(2 * getpagesize(), 0);
        ASSERT_NE(mBlock, nullptr);
    }
    void TearDown() override {
        if (mBlock != nullptr)
            hwmem_free(mBlock);
        HwmemTest::TearDown();
    }

    mirel28_mem_addr* mBlock = nullptr;
};

// One line per object: whether it is empty (no data, size 0, zero record) and what isCached() says.
void describeEmpty(VORNA::ShareMemory& memory) {
    const Info_t zero = {};
    printf("empty %d cached %d\n",
           memory.data() == NULL && memory.size() == 0 && memcmp(memory.info(), &zero, sizeof(zero)) == 0,
           memory.isCached());
}

}  // namespace

TEST_F(PhysicalShareMemoryTest, UnalignedAddressGivesDataAtItsInPageOffsetToThisAndAPeerProcess) {
    const uint32_t phys = mBlock->phys + 100;
    strcpy(reinterpret_cast<char*>(addressOf(mBlock->virt)) + 100, "physical");

    VORNA::ShareMemory memory(addressOf(phys), 300, false);
    ASSERT_NE(memory.data(), nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(memory.data()) % getpagesize(), 100u);
    EXPECT_STREQ(reinterpret_cast<char*>(memory.data()), "physical");
    const Info_t expected = {1, 24, phys, 300, -1, -1};
    EXPECT_EQ(memcmp(memory.info(), &expected, sizeof(expected)), 0);
    EXPECT_EQ(memory.size(), 300);
    EXPECT_TRUE(memory.isCached());
    EXPECT_EQ(memory.cacheSize(), 0);
    EXPECT_EQ(memory.flush(memory.data(), 300), 0);
    EXPECT_EQ(memory.invalid(memory.data(), 300), 0);
    EXPECT_TRUE(traced(format("mmap /dev/mem offset=0x%x length=%d -> %p", mBlock->phys, getpagesize(),
                              static_cast<void*>(memory.data() - 100))));

    const auto child = runAsPeer(expected, [&expected](VORNA::ShareMemory& peer) {
        printf("%s %d %d %d\n", reinterpret_cast<char*>(peer.data()), peer.size(), peer.isCached(),
               memcmp(peer.info(), &expected, sizeof(expected)) == 0);
        strcpy(reinterpret_cast<char*>(peer.data()) + 10, "peer");
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.out, "physical 300 1 1\n");
    EXPECT_STREQ(reinterpret_cast<char*>(memory.data()) + 10, "peer");
    EXPECT_STREQ(reinterpret_cast<char*>(addressOf(mBlock->virt)) + 110, "peer");
}

TEST_F(PhysicalShareMemoryTest, DestructionUnmapsAndClosesBothDevices) {
    const auto child = runInChild([this] {
        const int before = testing_support::openDescriptorCount();
        {
            VORNA::ShareMemory memory(addressOf(mBlock->phys + 4000), 200, false);
            printf("mapped %d open %d\n", memory.data() != NULL,
                   testing_support::openDescriptorCount() - before);
        }
        printf("open %d\n", testing_support::openDescriptorCount() - before);
    });
    EXPECT_EQ(child.out, "mapped 1 open 2\nopen 0\n");
}

TEST_F(DevsimTest, FailedPhysicalMappingsLogTheirLineLeaveEmptyObjectsAndCloseWhatTheyOpened) {
    const struct {
        const char* failures;
        uint32_t phys;
        bool alsoFromInfo;  // maps through a record naming the address too
        std::string lines;
    } cases[] = {
        {"/dev/mem", kInsideThePool, false, shmError("open /dev/mem failed\n") + "empty 1 cached 1\n"},
        {"/dev/cache", kInsideThePool, true,
         shmError("open /dev/cache failed\n") + "empty 1 cached 1\n" + shmError("open /dev/cache failed\n") +
             "empty 1 cached 0\n"},
        {"", kOutsideThePool, true,
         shmError("map phys mem failed\n") + "empty 1 cached 1\n" +
             shmError("mmap for phys memory failed\n") + "empty 1 cached 0\n"},
    };
    for (const auto& c : cases) {
        const auto child = runInChild([&c] {
            injectFailures(c.failures);
            const int before = testing_support::openDescriptorCount();
            VORNA::ShareMemory memory(addressOf(c.phys), 64, false);
            describeEmpty(memory);
            if (c.alsoFromInfo) {
                Info_t info = {1, 24, c.phys, 64, -1, -1};
                VORNA::ShareMemory peer(&info, false);
                describeEmpty(peer);
            }
            printf("leaked %d\n", testing_support::openDescriptorCount() - before);
        });
        EXPECT_EQ(maskLineNumbers(child.out), c.lines + "leaked 0\n") << c.failures;
    }
}
