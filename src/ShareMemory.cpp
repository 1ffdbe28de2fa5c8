#define LOG_MODULE "src/ShareMemory"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include "internal/chunkmem_ioctl.h"
#include "internal/log.h"
#include "internal/page_span.h"
#include "vorna/memory.h"

using Info_t = VORNA::ShareMemory::Info_t;

// This module logs with the shared-memory tag, and every constructor's line names "ShareMemory" even when
// a helper writes it.
#define SHM_ERR(function, ...) LogPrint(VORNA_PREFIX_SHM_ERR, "", LOG_MODULE, function, __LINE__, __VA_ARGS__)
#define SHM_WRN(function, ...) LogPrint(VORNA_PREFIX_SHM_WRN, "", LOG_MODULE, function, __LINE__, __VA_ARGS__)

namespace {

const char kConstructor[] = "ShareMemory";

const int kTypeSegment = 0;
const int kTypePhysical = 1;
const key_t kPrivateKey = IPC_PRIVATE;
const int kInfoLength = sizeof(Info_t);

void* const kShmatFailed = reinterpret_cast<void*>(-1);

// For the %08x fields of the log lines, which show 32-bit addresses.
unsigned int addressWord(const void* address) {
    return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(address));
}

// A descriptor counts as closed even when close() fails.
void closeLogged(int fd, const char* function) {
    if (close(fd) != 0)
        SHM_ERR(function, "close failed\n");
}

// Maps [phys, phys + size) through "/dev/mem", with "/dev/cache" open beside it, and stores the mapping
// and both descriptors. On a failed mapping it closes both, stores nothing, logs `failure` (which differs
// between the two constructors that map) and returns false.
bool mapPhysical(uint64_t phys, int size, const char* failure, unsigned char** data, int* memFd,
                 int* cacheFd) {
    const int mem = open(vorna::kPhysMemPath, O_RDWR | O_CLOEXEC);
    if (mem < 0) {
        SHM_ERR(kConstructor, "open %s failed\n", vorna::kPhysMemPath);
        return false;
    }
    const int cache = open(vorna::kCachePath, O_RDWR | O_CLOEXEC);
    if (cache < 0) {
        closeLogged(mem, kConstructor);
        SHM_ERR(kConstructor, "open %s failed\n", vorna::kCachePath);
        return false;
    }
    const vorna::PageSpan span = vorna::pageSpanOf(phys, size);
    void* mapping = mmap64(NULL, span.length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED, mem,
                           static_cast<off64_t>(span.base));
    if (mapping == MAP_FAILED) {
        closeLogged(mem, kConstructor);
        closeLogged(cache, kConstructor);
        SHM_ERR(kConstructor, "%s", failure);
        return false;
    }
    *data = static_cast<unsigned char*>(mapping) + span.offset;
    *memFd = mem;
    *cacheFd = cache;
    return true;
}

// Unmaps exactly the pages mapPhysical() took for `data` and `size`.
void freevirt(unsigned char* data, int size) {
    const vorna::PageSpan span = vorna::pageSpanOf(reinterpret_cast<uintptr_t>(data), size);
    if (munmap(reinterpret_cast<void*>(span.base), span.length) != 0)
        SHM_ERR(__func__, "munmap failed virt=0x%x(0x%x), size=%d(%d)\n", addressWord(data),
                static_cast<unsigned int>(span.base), size, static_cast<int>(span.length));
}

size_t roundUpToPages(int size) {
    const size_t page = static_cast<size_t>(getpagesize());
    // A negative size becomes 0, which shmget refuses.
    const size_t wanted = size > 0 ? static_cast<size_t>(size) : 0;
    return (wanted + page - 1) / page * page;
}

}  // namespace

namespace VORNA {

ShareMemory::ShareMemory(unsigned char* phys, int size, bool)
    : mIsCached(true),
      mInfo(),
      mData(NULL),
      mSize(0),
      mCacheSize(0),
      mIsAttached(true),
      mMemFd(-1),
      mCacheFd(-1) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(phys);
    if (!mapPhysical(address, size, "map phys mem failed\n", &mData, &mMemFd, &mCacheFd))
        return;
    mSize = size;
    mInfo = {kTypePhysical, kInfoLength, static_cast<uint32_t>(address), size, -1, -1};
}

ShareMemory::ShareMemory(int size, bool)
    : mIsCached(false),
      mInfo(),
      mData(NULL),
      mSize(0),
      mCacheSize(0),
      mIsAttached(false),
      mMemFd(-1),
      mCacheFd(-1) {
    const int id = shmget(kPrivateKey, roundUpToPages(size), 0666);
    if (id < 0) {
        const int error = errno;
        SHM_ERR(kConstructor, "malloc for sharedKey(%u) failed(errno=%d/%s)\n",
                static_cast<unsigned int>(kPrivateKey), error, strerror(error));
        return;
    }
    void* address = shmat(id, NULL, 0);
    if (address == kShmatFailed) {
        int error = errno;
        SHM_ERR(kConstructor, "mmap for %d Failed\n", id);
        if (shmctl(id, IPC_RMID, NULL) != 0) {
            error = errno;
            SHM_ERR(kConstructor, "delete for %d failed\n", id);
        }
        SHM_ERR(kConstructor, "malloc for sharedKey(%u) failed(errno=%d/%s)\n",
                static_cast<unsigned int>(kPrivateKey), error, strerror(error));
        return;
    }
    mData = static_cast<unsigned char*>(address);
    mSize = size;
    mInfo = {kTypeSegment, kInfoLength, 0, size, kPrivateKey, id};
}

ShareMemory::ShareMemory(Info_t* info, bool)
    : mIsCached(false),
      mInfo(),
      mData(NULL),
      mSize(0),
      mCacheSize(0),
      mIsAttached(true),
      mMemFd(-1),
      mCacheFd(-1) {
    if (info == NULL)
        return;
    if (info->type == kTypeSegment) {
        // The segment's real size is not compared with info->size: the record is trusted as published.
        void* address = shmat(info->shmid, NULL, 0);
        if (address == kShmatFailed) {
            const int error = errno;
            SHM_ERR(kConstructor, "mmap for shrmid(%d) failed(errno=%d/%s)\n", info->shmid, error,
                    strerror(error));
            return;
        }
        mData = static_cast<unsigned char*>(address);
    } else if (info->type == kTypePhysical) {
        if (!mapPhysical(info->phys, info->size, "mmap for phys memory failed\n", &mData, &mMemFd, &mCacheFd))
            return;
        mIsCached = true;
    } else {
        SHM_ERR(kConstructor, "unkown type\n");
        return;
    }
    mSize = info->size;
    mInfo = *info;
}

ShareMemory::~ShareMemory() {
    if (mData == NULL)
        return;
    if (mInfo.type == kTypePhysical) {
        freevirt(mData, mSize);
        mData = NULL;
        if (mMemFd >= 0)
            closeLogged(mMemFd, __func__);
        mMemFd = -1;
        if (mCacheFd >= 0)
            closeLogged(mCacheFd, __func__);
        mCacheFd = -1;
        return;
    }
    if (mIsAttached) {
        if (shmdt(mData) != 0)
            SHM_ERR(__func__, "unshare 0x%08x failed, shmkey=%u, shmid=%d\n", addressWord(mData),
                    static_cast<unsigned int>(mInfo.shmkey), mInfo.shmid);
        return;
    }
    // The creator removes the segment even while peers are attached: the system destroys it when the
    // last of them detaches, so their memory stays valid until then.
    if (shmdt(mData) != 0)
        SHM_ERR(__func__, "unshare 0x%08x failed:%s\n", addressWord(mData), strerror(errno));
    shmid_ds state;
    if (shmctl(mInfo.shmid, IPC_STAT, &state) != 0)
        SHM_WRN(__func__, "got shmid state failed.\n");
    if (shmctl(mInfo.shmid, IPC_RMID, &state) != 0)
        SHM_ERR(__func__, "delete shmid(%d) failed:%s\n", mInfo.shmid, strerror(errno));
}

int ShareMemory::flush(unsigned char* /*addr*/, int /*len*/) {
    return mIsCached ? 0 : -1;
}

int ShareMemory::invalid(unsigned char* /*addr*/, int /*len*/) {
    return mIsCached ? 0 : -1;
}

}  // namespace VORNA
