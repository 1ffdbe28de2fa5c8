// The hardware memory allocator. Unlike the rest of the library it reports on standard output with
// printf/puts, not through LogPrint.

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

#include "internal/chunkmem_ioctl.h"
#include "internal/page_span.h"
#include "internal/scoped_lock.h"
#include "vorna/memory.h"
#include "vorna/sync.h"

namespace {

// The descriptors are constant-initialised to -1, so they are valid before any constructor runs. They
// are atomic because every function but init/deinit reads them without the lock while another thread may
// be opening the devices.
std::atomic<int> gChunkmemfd{-1};
std::atomic<int> gIpcfd{-1};
std::atomic<int> gCachefd{-1};
int gInitCount = 0;  // guarded by gHwmemMutex
// Constructed by the library's static initialiser; its destruction is registered for unload.
VORNA::Mutex gHwmemMutex;

// Opens `path` into `fd` unless it is open already. Returns false when the open fails.
bool openDevice(const char* path, std::atomic<int>& fd) {
    if (fd.load(std::memory_order_relaxed) >= 0)
        return true;
    const int opened = open(path, O_RDWR | O_CLOEXEC);
    if (opened < 0) {
        printf("open %s failed\n", path);
        fd.store(-1, std::memory_order_relaxed);
        return false;
    }
    printf("open %s success\n", path);
    fd.store(opened, std::memory_order_relaxed);
    return true;
}

// The descriptor counts as closed even when close() fails: retrying could close a number that the
// process has reused meanwhile.
void closeDevice(std::atomic<int>& fd) {
    const int previous = fd.exchange(-1, std::memory_order_relaxed);
    if (previous >= 0 && close(previous) != 0)
        puts("close failed");
}

mirel28_mem_addr* allocateBlock(unsigned long request, unsigned int size, int driver_arg) {
    mirel28_mem_addr* block = static_cast<mirel28_mem_addr*>(calloc(1, sizeof(mirel28_mem_addr)));
    if (block == NULL) {
        puts("alloc info structure failed");
        return NULL;
    }
    vorna::ChunkBlockRecord record = {};
    record.size = size;
    record.driver_arg = driver_arg;
    if (ioctl(gChunkmemfd.load(std::memory_order_relaxed), request, &record) != 0) {
        printf("alloc mem(%d) failed\n", static_cast<int>(size));
        free(block);
        return NULL;
    }
    block->phys = record.phys;
    block->virt = record.virt;
    block->size = record.size;
    return block;
}

// A chunk-memory request succeeds only when ioctl returns 0.
bool freeBlock(int fd, uint32_t virt) {
    vorna::ChunkBlockRecord record = {};
    record.virt = virt;
    if (ioctl(fd, vorna::kChunkFreeRequest, &record) == 0)
        return true;
    printf("free mem(0x%x) failed\n", virt);
    return false;
}

// A cache request fails only when ioctl returns a negative value.
void maintainCache(unsigned long request, const char* operation, void* addr, unsigned int size) {
    const int fd = gCachefd.load(std::memory_order_relaxed);
    if (fd < 0) {
        puts("invalid gCachefd");
        return;
    }
    vorna::CacheRangeRecord range = {static_cast<uint32_t>(reinterpret_cast<uintptr_t>(addr)), size};
    const int result = ioctl(fd, request, &range);
    if (result < 0)
        printf("cache %s failed, ret=%d errno=%d\n", operation, result, errno);
}

uint32_t addressWord(const void* address) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

}  // namespace

int hwmem_init() {
    vorna::ScopedLock lock(gHwmemMutex);
    if (!openDevice(vorna::kChunkmemPath, gChunkmemfd))
        return -1;
    if (!openDevice(vorna::kIpcPath, gIpcfd)) {
        closeDevice(gChunkmemfd);
        return -1;
    }
    if (!openDevice(vorna::kCachePath, gCachefd)) {
        closeDevice(gIpcfd);
        closeDevice(gChunkmemfd);
        return -1;
    }
    ++gInitCount;
    return 0;
}

int hwmem_deinit() {
    vorna::ScopedLock lock(gHwmemMutex);
    if (gInitCount < 0) {
        puts("should not be here, please check.");
        return -1;
    }
    if (gInitCount > 0 && --gInitCount > 0)
        return 0;
    closeDevice(gChunkmemfd);
    closeDevice(gIpcfd);
    closeDevice(gCachefd);
    return 0;
}

mirel28_mem_addr* hwmem_alloc(unsigned int size, int driver_arg) {
    return allocateBlock(vorna::kChunkAllocRequest, size, driver_arg);
}

mirel28_mem_addr* hwmem_noncache_alloc(unsigned int size, int driver_arg) {
    return allocateBlock(vorna::kChunkNoncacheAllocRequest, size, driver_arg);
}

void hwmem_free(mirel28_mem_addr* block) {
    if (block == NULL)
        return;
    freeBlock(gChunkmemfd.load(std::memory_order_relaxed), block->virt);
    free(block);
}

unsigned char* hwmem_phys2virt(unsigned char* phys, int size) {
    const vorna::PageSpan span = vorna::pageSpanOf(reinterpret_cast<uintptr_t>(phys), size);
    void* mapping = mmap64(NULL, span.length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED,
                           gIpcfd.load(std::memory_order_relaxed), static_cast<off64_t>(span.base));
    if (mapping == MAP_FAILED)
        return NULL;
    return static_cast<unsigned char*>(mapping) + span.offset;
}

void hwmem_free_virt(unsigned char* virt, int size) {
    const vorna::PageSpan span = vorna::pageSpanOf(reinterpret_cast<uintptr_t>(virt), size);
    if (munmap(reinterpret_cast<void*>(span.base), span.length) != 0)
        printf("munmap failed virt=0x%x(0x%x), size=%d(%d)\n", addressWord(virt),
               static_cast<uint32_t>(span.base), size, static_cast<int>(span.length));
}

void hwmem_cache_clean(void* addr, unsigned int size) {
    maintainCache(vorna::kCacheCleanRequest, "clean", addr, size);
}

void hwmem_cache_invalidate(void* addr, unsigned int size) {
    maintainCache(vorna::kCacheInvalidateRequest, "invalidate", addr, size);
}

int chunkmem_open() {
    const int fd = open(vorna::kChunkmemPath, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        printf("open %s failed\n", vorna::kChunkmemPath);
    return fd < 0 ? -1 : fd;
}

unsigned char* chunkmem_mmap(int fd, unsigned int phys, int size) {
    if (fd < 0) {
        printf("invalid fd:%d.\n", fd);
        return NULL;
    }
    vorna::ChunkBlockRecord record = {};
    record.phys = phys;
    if (ioctl(fd, vorna::kChunkMapRequest, &record) != 0) {
        printf("mmap mem(0x%x) failed\n", phys);
        return NULL;
    }
    // A block of another size than expected is still usable; the line only tells the developer.
    if (record.size != static_cast<uint32_t>(size))
        printf("mmap block size %d is not equal to allocation size %d .\n", static_cast<int>(record.size),
               size);
    return reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(record.virt));
}

void chunkmem_close(int fd, unsigned char* virt) {
    if (fd < 0) {
        printf("invalid fd:%d.\n", fd);
        return;
    }
    freeBlock(fd, addressWord(virt));
    close(fd);
}
