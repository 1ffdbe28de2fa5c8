#include "devices.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include "internal/chunkmem_ioctl.h"
#include "pool.h"
#include "real.h"
#include "settings.h"

namespace devsim {

namespace {

using vorna::CacheRangeRecord;
using vorna::ChunkBlockRecord;

const char* const kPaths[] = {nullptr, vorna::kChunkmemPath, vorna::kIpcPath, vorna::kCachePath,
                              vorna::kPhysMemPath};

int failWith(int error) {
    errno = error;
    return -1;
}

// The blocks mapped into this process by allocate and map requests, so that a free request, which
// names only the address, finds the block and the length to unmap.
struct Mapping {
    uintptr_t virt;  // 0: the slot is free
    uint32_t phys;
    uint32_t length;
};
const int kMaxMappings = 1024;
Mapping gMappings[kMaxMappings];
pthread_mutex_t gMappingsLock = PTHREAD_MUTEX_INITIALIZER;

bool rememberMapping(uintptr_t virt, uint32_t phys, uint32_t length) {
    pthread_mutex_lock(&gMappingsLock);
    Mapping* slot = nullptr;
    for (Mapping& mapping : gMappings) {
        if (mapping.virt == 0) {
            slot = &mapping;
            break;
        }
    }
    if (slot != nullptr)
        *slot = {virt, phys, length};
    pthread_mutex_unlock(&gMappingsLock);
    return slot != nullptr;
}

bool forgetMapping(uintptr_t virt, Mapping* found) {
    pthread_mutex_lock(&gMappingsLock);
    bool known = false;
    for (Mapping& mapping : gMappings) {
        if (mapping.virt != 0 && mapping.virt == virt) {
            *found = mapping;
            mapping.virt = 0;
            known = true;
            break;
        }
    }
    pthread_mutex_unlock(&gMappingsLock);
    return known;
}

// Maps a block that holds a reference for the mapping; the reference is dropped when that fails.
int mapBlock(uint32_t phys, uint32_t size, uint32_t* virt) {
    void* mapping = mapPhysical(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, phys);
    if (mapping == MAP_FAILED) {
        const int error = errno;
        releaseBlock(phys);
        return error;
    }
    const uintptr_t address = reinterpret_cast<uintptr_t>(mapping);
    if (!rememberMapping(address, phys, size)) {
        munmap(mapping, size);
        releaseBlock(phys);
        return ENOMEM;
    }
    *virt = static_cast<uint32_t>(address);
    return 0;
}

int allocate(const char* name, ChunkBlockRecord* record) {
    const uint32_t wanted = record->size;
    uint32_t phys = 0;
    uint32_t granted = 0;
    uint32_t virt = 0;
    int error = injected(name) ? EIO : allocateBlock(wanted, &phys, &granted);
    if (error == 0)
        error = mapBlock(phys, granted, &virt);
    if (error != 0) {
        trace("ioctl /dev/chunkmem %s size=%u driver_arg=%d -> error %d", name, wanted, record->driver_arg,
              error);
        return failWith(error);
    }
    record->phys = phys;
    record->virt = virt;
    record->size = granted;
    trace("ioctl /dev/chunkmem %s size=%u driver_arg=%d -> phys=0x%08x virt=0x%08x size=%u", name, wanted,
          record->driver_arg, phys, virt, granted);
    return 0;
}

int allocateCached(void* argument) {
    return allocate("alloc", static_cast<ChunkBlockRecord*>(argument));
}

int allocateNoncached(void* argument) {
    return allocate("noncache-alloc", static_cast<ChunkBlockRecord*>(argument));
}

int mapExisting(void* argument) {
    ChunkBlockRecord* record = static_cast<ChunkBlockRecord*>(argument);
    uint32_t size = 0;
    uint32_t virt = 0;
    int error = injected("map") ? EIO : referenceBlock(record->phys, &size);
    if (error == 0)
        error = mapBlock(record->phys, size, &virt);
    if (error != 0) {
        trace("ioctl /dev/chunkmem map phys=0x%08x -> error %d", record->phys, error);
        return failWith(error);
    }
    record->virt = virt;
    record->size = size;
    trace("ioctl /dev/chunkmem map phys=0x%08x -> virt=0x%08x size=%u", record->phys, virt, size);
    return 0;
}

int freeMapping(void* argument) {
    const ChunkBlockRecord* record = static_cast<const ChunkBlockRecord*>(argument);
    Mapping mapping;
    int error = 0;
    if (injected("free"))
        error = EIO;
    else if (!forgetMapping(record->virt, &mapping))
        error = EINVAL;
    if (error != 0) {
        trace("ioctl /dev/chunkmem free virt=0x%08x -> error %d", record->virt, error);
        return failWith(error);
    }
    munmap(reinterpret_cast<void*>(mapping.virt), mapping.length);
    releaseBlock(mapping.phys);
    trace("ioctl /dev/chunkmem free virt=0x%08x -> 0", record->virt);
    return 0;
}

// The emulated processor has no cache to maintain: a cache request only succeeds or fails.
int maintainCache(const char* name, void* argument) {
    const CacheRangeRecord* range = static_cast<const CacheRangeRecord*>(argument);
    const int error = injected(name) ? EIO : 0;
    if (error != 0) {
        trace("ioctl /dev/cache %s addr=0x%08x size=%u -> error %d", name, range->addr, range->size, error);
        return failWith(error);
    }
    trace("ioctl /dev/cache %s addr=0x%08x size=%u -> 0", name, range->addr, range->size);
    return 0;
}

int clean(void* argument) {
    return maintainCache("clean", argument);
}

int invalidate(void* argument) {
    return maintainCache("invalidate", argument);
}

struct Request {
    Device device;
    unsigned long code;
    int (*serve)(void* argument);
};

const Request kRequests[] = {
    {kChunkmem, vorna::kChunkAllocRequest, allocateCached},
    {kChunkmem, vorna::kChunkMapRequest, mapExisting},
    {kChunkmem, vorna::kChunkFreeRequest, freeMapping},
    {kChunkmem, vorna::kChunkNoncacheAllocRequest, allocateNoncached},
    {kCache, vorna::kCacheCleanRequest, clean},
    {kCache, vorna::kCacheInvalidateRequest, invalidate},
};

// Like a driver: a request is known by its type and number; the size and direction bits must then
// match too.
const Request* findRequest(Device device, unsigned long code, int* error) {
    for (const Request& request : kRequests) {
        if (request.device != device || _IOC_TYPE(request.code) != _IOC_TYPE(code) ||
            _IOC_NR(request.code) != _IOC_NR(code))
            continue;
        if (request.code == code)
            return &request;
        *error = EINVAL;
        return nullptr;
    }
    *error = ENOTTY;
    return nullptr;
}

}  // namespace

Device deviceAt(const char* path) {
    if (path == nullptr)
        return kNoDevice;
    for (int device = kChunkmem; device <= kPhysMem; ++device) {
        if (strcmp(path, kPaths[device]) == 0)
            return static_cast<Device>(device);
    }
    return kNoDevice;
}

int openDevice(Device device, int flags) {
    const char* path = kPaths[device];
    int error = injected(path) ? ENOENT : 0;
    int fd = -1;
    if (error == 0 && !attachPool())
        error = errno;
    if (error == 0) {
        fd = duplicatePoolDescriptor((flags & O_CLOEXEC) != 0);
        if (fd < 0)
            error = errno;
    }
    if (error != 0) {
        trace("open %s flags=0x%x -> error %d", path, static_cast<unsigned int>(flags), error);
        return failWith(error);
    }
    trace("open %s flags=0x%x -> %d", path, static_cast<unsigned int>(flags), fd);
    return fd;
}

void closeDevice(Device device, int fd) {
    trace("close %s %d", kPaths[device], fd);
}

int controlDevice(Device device, unsigned long code, void* argument) {
    int error = 0;
    const Request* request = findRequest(device, code, &error);
    if (request == nullptr) {
        trace("ioctl %s 0x%08lx -> error %d", kPaths[device], code, error);
        return failWith(error);
    }
    if (argument == nullptr) {
        trace("ioctl %s 0x%08lx -> error %d", kPaths[device], code, EFAULT);
        return failWith(EFAULT);
    }
    return request->serve(argument);
}

void* mapDevice(Device device, void* hint, size_t length, int protection, int flags, off64_t offset) {
    void* mapping = MAP_FAILED;
    if (device == kIpc || device == kPhysMem)
        mapping = mapPhysical(hint, length, protection, flags, static_cast<uint64_t>(offset));
    else
        errno = ENODEV;
    const unsigned long long physical = static_cast<unsigned long long>(offset);
    if (mapping != MAP_FAILED) {
        trace("mmap %s offset=0x%llx length=%zu -> %p", kPaths[device], physical, length, mapping);
        return mapping;
    }
    const int error = errno;
    trace("mmap %s offset=0x%llx length=%zu -> error %d", kPaths[device], physical, length, error);
    errno = error;
    return MAP_FAILED;
}

}  // namespace devsim
