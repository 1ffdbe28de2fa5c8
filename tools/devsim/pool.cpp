#include "pool.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "real.h"
#include "settings.h"

namespace devsim {

namespace {

// Room for the header on hosts with pages of up to 64 KiB, so that physical memory starts on a page.
const off64_t kHeaderBytes = 64 * 1024;
const uint32_t kMagic = 0x564d454d;  // "VMEM"
const int kMaxBlocks = 1024;

// Only 32-bit words, so that 32-bit and 64-bit processes read one layout.
struct Block {
    uint32_t phys;
    uint32_t size;
    uint32_t references;  // 0: the slot is free
};

struct PoolHeader {
    uint32_t magic;
    uint32_t bytes;  // size of the physical range
    Block blocks[kMaxBlocks];
};
static_assert(sizeof(PoolHeader) <= kHeaderBytes, "the table fits in the header");

pthread_mutex_t gAttachLock = PTHREAD_MUTEX_INITIALIZER;
int gPoolFd = -1;
std::atomic<PoolHeader*> gHeader{nullptr};

// Serialises the block table among the threads of this process (the mutex) and among processes (a
// flock on a description of the pool file of its own: descriptions shared with forked children or with
// other threads would not exclude each other).
class PoolLock {
  public:
    PoolLock() {
        pthread_mutex_lock(&sThreads);
        char path[64];
        snprintf(path, sizeof(path), "/proc/self/fd/%d", gPoolFd);
        mFd = real::open(path, O_RDWR | O_CLOEXEC, 0);
        if (mFd >= 0)
            flock(mFd, LOCK_EX);
    }
    ~PoolLock() {
        if (mFd >= 0)
            real::close(mFd);
        pthread_mutex_unlock(&sThreads);
    }
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;

  private:
    static pthread_mutex_t sThreads;
    int mFd;
};
pthread_mutex_t PoolLock::sThreads = PTHREAD_MUTEX_INITIALIZER;

uint64_t pageRounded(uint64_t bytes) {
    const uint64_t page = static_cast<uint64_t>(getpagesize());
    return (bytes + page - 1) / page * page;
}

// Gives a new pool file its header and size; called with the file locked.
bool formatPool(int fd) {
    PoolHeader header = {};
    header.magic = kMagic;
    header.bytes = poolSize();
    if (ftruncate(fd, kHeaderBytes + header.bytes) != 0)
        return false;
    return pwrite(fd, &header, sizeof(header), 0) == static_cast<ssize_t>(sizeof(header));
}

// Opens, formats if new, checks and maps the header of the pool file at `path`.
PoolHeader* openPool(const char* path, int* poolFd) {
    const int fd = real::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    flock(fd, LOCK_EX);
    struct stat status;
    bool usable = fstat(fd, &status) == 0 && (status.st_size != 0 || formatPool(fd));
    void* mapped = MAP_FAILED;
    if (usable)
        mapped = real::mmap(nullptr, kHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    PoolHeader* header = mapped != MAP_FAILED ? static_cast<PoolHeader*>(mapped) : nullptr;
    if (header != nullptr && header->magic != kMagic) {
        munmap(mapped, kHeaderBytes);
        header = nullptr;
        errno = EINVAL;  // the file is not a pool
    }
    flock(fd, LOCK_UN);
    if (header == nullptr) {
        const int error = errno;
        real::close(fd);
        errno = error;
        return nullptr;
    }
    *poolFd = fd;
    return header;
}

bool overlapsBlock(const PoolHeader& header, uint64_t start, uint64_t size) {
    for (const Block& block : header.blocks) {
        if (block.references != 0 && start < uint64_t{block.phys} + block.size && block.phys < start + size)
            return true;
    }
    return false;
}

// First fit: the lowest free start among the pool's base and the ends of the used blocks.
bool findRoom(const PoolHeader& header, uint64_t size, uint32_t* phys) {
    const uint64_t end = uint64_t{kPhysicalBase} + header.bytes;
    uint64_t best = UINT64_MAX;
    auto consider = [&](uint64_t start) {
        if (start < best && start + size <= end && !overlapsBlock(header, start, size))
            best = start;
    };
    consider(kPhysicalBase);
    for (const Block& block : header.blocks) {
        if (block.references != 0)
            consider(uint64_t{block.phys} + block.size);
    }
    if (best == UINT64_MAX)
        return false;
    *phys = static_cast<uint32_t>(best);
    return true;
}

Block* blockAt(PoolHeader& header, uint32_t phys) {
    for (Block& block : header.blocks) {
        if (block.references != 0 && block.phys == phys)
            return &block;
    }
    return nullptr;
}

Block* freeSlot(PoolHeader& header) {
    for (Block& block : header.blocks) {
        if (block.references == 0)
            return &block;
    }
    return nullptr;
}

// The 32-bit address words of the request records must hold every mapping the emulator makes.
void* mapBelow4GiB(size_t length, int protection, int flags, off64_t offset) {
#if UINTPTR_MAX <= 0xffffffffu
    return real::mmap(nullptr, length, protection, flags, gPoolFd, offset);
#elif defined(MAP_32BIT)
    return real::mmap(nullptr, length, protection, flags | MAP_32BIT, gPoolFd, offset);
#else
    const uintptr_t kLowHint = 0x40000000;
    void* mapping = real::mmap(reinterpret_cast<void*>(kLowHint), length, protection, flags, gPoolFd, offset);
    if (mapping != MAP_FAILED && reinterpret_cast<uintptr_t>(mapping) + length > uintptr_t{0xffffffffu}) {
        munmap(mapping, length);
        errno = ENOMEM;
        return MAP_FAILED;
    }
    return mapping;
#endif
}

}  // namespace

bool attachPool() {
    pthread_mutex_lock(&gAttachLock);
    bool attached = gHeader.load(std::memory_order_acquire) != nullptr;
    if (!attached) {
        char path[PATH_MAX];
        poolPath(path, sizeof(path));
        PoolHeader* header = openPool(path, &gPoolFd);
        attached = header != nullptr;
        if (attached)
            gHeader.store(header, std::memory_order_release);
    }
    pthread_mutex_unlock(&gAttachLock);
    return attached;
}

int duplicatePoolDescriptor(bool closeOnExec) {
    return fcntl(gPoolFd, closeOnExec ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
}

void* mapPhysical(void* hint, size_t length, int protection, int flags, uint64_t phys) {
    const PoolHeader* header = gHeader.load(std::memory_order_acquire);
    const uint64_t end = uint64_t{kPhysicalBase} + header->bytes;
    if (length == 0 || phys < kPhysicalBase || phys > end || length > end - phys) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    // Pinning means nothing for a file, and the locked-memory limit of a PC would only get in the way.
    flags &= ~MAP_LOCKED;
    const off64_t offset = kHeaderBytes + static_cast<off64_t>(phys - kPhysicalBase);
    if (hint == nullptr && (flags & MAP_FIXED) == 0)
        return mapBelow4GiB(length, protection, flags, offset);
    return real::mmap(hint, length, protection, flags, gPoolFd, offset);
}

int allocateBlock(uint32_t size, uint32_t* phys, uint32_t* granted) {
    PoolHeader& header = *gHeader.load(std::memory_order_acquire);
    const uint64_t rounded = pageRounded(size);
    if (size == 0 || rounded > header.bytes)
        return size == 0 ? EINVAL : ENOMEM;
    PoolLock lock;
    Block* slot = freeSlot(header);
    if (slot == nullptr || !findRoom(header, rounded, phys))
        return ENOMEM;
    *slot = {*phys, static_cast<uint32_t>(rounded), 1};
    *granted = slot->size;
    return 0;
}

int referenceBlock(uint32_t phys, uint32_t* size) {
    PoolHeader& header = *gHeader.load(std::memory_order_acquire);
    PoolLock lock;
    Block* block = blockAt(header, phys);
    if (block == nullptr)
        return EINVAL;
    ++block->references;
    *size = block->size;
    return 0;
}

void releaseBlock(uint32_t phys) {
    PoolHeader& header = *gHeader.load(std::memory_order_acquire);
    PoolLock lock;
    Block* block = blockAt(header, phys);
    if (block != nullptr)
        --block->references;
}

}  // namespace devsim
