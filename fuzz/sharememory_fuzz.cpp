// VORNA::ShareMemory built from arbitrary Info_t records: each must give either a working mapping or a
// clean, empty object, and destroying them must leave nothing behind.
//
// Input: from the end backwards, two creator sizes (int32 each), a physical address and size for the
// mapping constructor; from the front, any number of 24-byte Info_t records.
//
// Only segments this process created may be attached: a record's segment id is replaced by one of them
// (negative ids, which no segment has, stay), so the fuzzer never reaches another process's memory. The
// physical records run only where "/dev/mem" and "/dev/cache" are not both present: on a device they
// would map real memory. Segments left over by a crash are removed by tests/scripts/run-fuzz.

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "vorna/memory.h"

namespace {

using Info = VORNA::ShareMemory::Info_t;

const int kCreators = 2;
const size_t kMaxRecords = 16;
// Bounds the fuzzed creator sizes, so that none reserves much memory; zero and negative sizes stay.
const int kMaxCreatedSize = 1 << 20;

bool gPhysicalAllowed = false;

// Whether the construction worked; a failed one holds nothing and shows an all-zero record.
bool works(VORNA::ShareMemory& memory) {
    static const Info kZero = {};
    if (memory.data() != NULL)
        return true;
    FUZZ_CHECK(memory.size() == 0 && memory.cacheSize() == 0 &&
               memcmp(memory.info(), &kZero, sizeof(kZero)) == 0);
    return false;
}

// Points a record's segment id at a segment this process created, or leaves a negative one (which names
// none); returns the segment's creator, or null.
VORNA::ShareMemory* pointAtOwnSegment(int* shmid, const std::vector<VORNA::ShareMemory*>& created) {
    if (*shmid < 0 || created.empty()) {
        *shmid = std::min(*shmid, -1);
        return NULL;
    }
    VORNA::ShareMemory* creator = created[static_cast<unsigned int>(*shmid) % created.size()];
    *shmid = creator->info()->shmid;
    return creator;
}

void checkAttached(VORNA::ShareMemory& memory, const Info& record, VORNA::ShareMemory* creator) {
    if (!works(memory))
        return;
    FUZZ_CHECK(memcmp(memory.info(), &record, sizeof(record)) == 0);
    FUZZ_CHECK(memory.size() == record.size && memory.cacheSize() == 0);
    if (record.type == 0) {
        // Both see the same memory; a segment has at least one page whatever the record claims.
        FUZZ_CHECK(creator != NULL && !memory.isCached() && memory.flush(memory.data(), 1) == -1);
        memory.data()[0] = static_cast<unsigned char>(record.size);
        FUZZ_CHECK(creator->data()[0] == static_cast<unsigned char>(record.size));
    } else {
        FUZZ_CHECK(memory.isCached() && memory.invalid(memory.data(), 1) == 0);
    }
}

// Creators, the mapping constructor and the records of one input; all destroyed on return.
void construct(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<std::unique_ptr<VORNA::ShareMemory>> objects;
    std::vector<VORNA::ShareMemory*> created;
    for (int i = 0; i < kCreators; ++i) {
        objects.emplace_back(
            new VORNA::ShareMemory(input.ConsumeIntegral<int>() % (kMaxCreatedSize + 1), false));
        if (works(*objects.back()))
            created.push_back(objects.back().get());
    }
    const uint32_t phys = input.ConsumeIntegral<uint32_t>();
    const int physSize = input.ConsumeIntegral<int>();
    if (gPhysicalAllowed) {
        VORNA::ShareMemory physical(reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(phys)), physSize,
                                    true);
        FUZZ_CHECK(physical.isCached());
        works(physical);
    }
    for (size_t count = 0; count < kMaxRecords && input.remaining_bytes() > 0; ++count) {
        Info record = {};
        input.ConsumeData(&record, sizeof(record));
        VORNA::ShareMemory* creator = NULL;
        if (record.type == 0)
            creator = pointAtOwnSegment(&record.shmid, created);
        else if (record.type == 1 && !gPhysicalAllowed)
            continue;
        objects.emplace_back(new VORNA::ShareMemory(&record, false));
        checkAttached(*objects.back(), record, creator);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStdout();
    gPhysicalAllowed = access("/dev/mem", F_OK) != 0 || access("/dev/cache", F_OK) != 0;
    if (!gPhysicalAllowed)
        fprintf(stderr, "physical memory devices present: physical records are skipped\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int descriptors = raw_peer::openDescriptorCount();
    construct(data, size);
    FUZZ_CHECK(raw_peer::openDescriptorCount() == descriptors);
    return 0;
}
