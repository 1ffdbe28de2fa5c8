#pragma once

// The request contract of the chunk-memory and cache drivers: record layouts and request codes. The
// device emulator under tools/ speaks the same contract, so both sides take it from here.

#include <stdint.h>
#include <sys/ioctl.h>

namespace vorna {

// Argument of the four chunk-memory requests: nine little-endian 32-bit words.
struct ChunkBlockRecord {
    uint32_t phys;
    uint32_t virt;
    uint32_t size;
    int32_t driver_arg;
    uint32_t reserved[5];
};

// Argument of the two cache requests: the caller's range, unrounded.
struct CacheRangeRecord {
    uint32_t addr;
    uint32_t size;
};

static_assert(sizeof(ChunkBlockRecord) == 36, "the block record is 36 bytes");
static_assert(sizeof(CacheRangeRecord) == 8, "the range record is 8 bytes");

const char kChunkmemPath[] = "/dev/chunkmem";
const char kIpcPath[] = "/dev/qm_ipc";
const char kCachePath[] = "/dev/cache";
const char kPhysMemPath[] = "/dev/mem";

const char kRequestType = 'C';

const unsigned long kChunkAllocRequest = _IOWR(kRequestType, 1, ChunkBlockRecord);
const unsigned long kChunkMapRequest = _IOWR(kRequestType, 2, ChunkBlockRecord);
const unsigned long kChunkFreeRequest = _IOW(kRequestType, 3, ChunkBlockRecord);
const unsigned long kChunkNoncacheAllocRequest = _IOWR(kRequestType, 12, ChunkBlockRecord);
const unsigned long kCacheCleanRequest = _IOW(kRequestType, 3, CacheRangeRecord);
const unsigned long kCacheInvalidateRequest = _IOW(kRequestType, 4, CacheRangeRecord);

static_assert(kChunkAllocRequest == 0xC0244301, "allocate request code");
static_assert(kChunkMapRequest == 0xC0244302, "map request code");
static_assert(kChunkFreeRequest == 0x40244303, "free request code");
static_assert(kChunkNoncacheAllocRequest == 0xC024430C, "non-cached allocate request code");
static_assert(kCacheCleanRequest == 0x40084303, "clean request code");
static_assert(kCacheInvalidateRequest == 0x40084304, "invalidate request code");

}  // namespace vorna
