#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "vorna/export.h"

// A block of physically contiguous memory handed out by hwmem_alloc() or hwmem_noncache_alloc(). The
// fields are copies of the driver's answer; nothing updates them later. Release it with hwmem_free().
struct mirel28_mem_addr {
    uint32_t phys;  // physical address of the block
    uint32_t virt;  // address of the block in the allocating process
    uint32_t size;  // size of the block in bytes, as the driver granted it
};

// Process-wide allocator. Every message of this family goes to standard output (printf/puts), not to
// LogPrint. hwmem_init() and hwmem_deinit() are serialised among threads; the other functions take no
// lock, but none of them may overlap the hwmem_deinit() that closes the devices.

// Opens "/dev/chunkmem", "/dev/qm_ipc" and "/dev/cache" unless they are open already, printing
// "open <path> success" for each one it opens, and counts the call. Returns 0; or -1 when a device cannot
// be opened ("open <path> failed"), after closing the ones this call opened: the count is unchanged and a
// later call starts again from the first device.
VORNA_API int hwmem_init();

// Undoes one successful hwmem_init(); the last one closes the three devices. Returns 0 (also when nothing
// is open), or -1 when the count is found negative.
VORNA_API int hwmem_deinit();

// Asks the driver for a block of `size` bytes, passing `driver_arg` through. Returns a new record that
// the caller releases with hwmem_free(), or null ("alloc mem(<size>) failed", also before hwmem_init()).
VORNA_API mirel28_mem_addr* hwmem_alloc(unsigned int size, int driver_arg);
// As hwmem_alloc(), with the driver's non-cached allocate request.
VORNA_API mirel28_mem_addr* hwmem_noncache_alloc(unsigned int size, int driver_arg);

// Gives the block back to the driver and releases the record, even when the driver refuses ("free
// mem(<virt>) failed"). A null record does nothing.
VORNA_API void hwmem_free(mirel28_mem_addr* block);

// Maps `size` bytes of physical memory from `phys`, which need not be page-aligned, into this process.
// Returns the address at which `phys` is visible, or null (silently) when the mapping fails, for example
// for a size of 0 or before hwmem_init(). Release it with hwmem_free_virt() and the same size.
VORNA_API unsigned char* hwmem_phys2virt(unsigned char* phys, int size);

// Unmaps what hwmem_phys2virt() mapped for `virt` and `size`. Needs no open device.
VORNA_API void hwmem_free_virt(unsigned char* virt, int size);

// Cleans (writes back) or invalidates the processor cache over [addr, addr + size). The range goes to the
// device as given, unrounded. Before hwmem_init() they print "invalid gCachefd" and do nothing.
VORNA_API void hwmem_cache_clean(void* addr, unsigned int size);
VORNA_API void hwmem_cache_invalidate(void* addr, unsigned int size);

// Caller-owned access to the chunk-memory device, independent of hwmem_init(); any thread may use it.

// Opens a new descriptor of "/dev/chunkmem". Returns it, or -1 ("open /dev/chunkmem failed").
VORNA_API int chunkmem_open();

// Maps the existing block that starts at `phys` through `fd`. Returns its address, or null when `fd` is
// negative ("invalid fd:<fd>.") or the driver refuses ("mmap mem(<phys>) failed"). A block whose size
// differs from `size` is still mapped, with a line saying so.
VORNA_API unsigned char* chunkmem_mmap(int fd, unsigned int phys, int size);

// Releases the mapping at `virt` and closes `fd`, also when the release fails. A negative `fd` only
// prints "invalid fd:<fd>.".
VORNA_API void chunkmem_close(int fd, unsigned char* virt);

namespace VORNA {

// Memory shared with other processes: a System V segment, or a range of physical memory mapped through
// "/dev/mem". The creator publishes info(); a peer process builds its own object from a copy of that
// record. Constructors never fail loudly: after any failure data() is null, size() is 0 and the object
// holds nothing. Accessors may be called from any thread; construction and destruction from one.
class VORNA_API ShareMemory {
  public:
    // The 24-byte record one process hands another to share the same memory.
    struct Info_t {
        int type;       // 0: System V segment, 1: physical memory
        int length;     // 24, the size of this record
        uint32_t phys;  // physical start address (type 1); 0 for a segment
        int size;       // size in bytes as the creator asked for it
        key_t shmkey;   // 0 (the private key) for a segment; -1 for physical memory
        int shmid;      // segment identifier; -1 for physical memory
    };

    // Maps the physical range [phys, phys + size); `phys` need not be page-aligned. Also opens
    // "/dev/cache" and keeps it open while the mapping lives. isCached() is true even when this fails.
    ShareMemory(unsigned char* phys, int size, bool);
    // Creates and attaches a new private System V segment of at least `size` bytes. This object is the
    // segment's creator: its destructor removes the segment, and attached peers keep their memory until
    // they detach.
    ShareMemory(int size, bool);
    // Attaches to the segment, or maps the physical range, that a copy of another object's info()
    // describes; removes nothing when destroyed. A null `info` gives an empty object without a message.
    ShareMemory(Info_t* info, bool);
    // Detaches or unmaps, and removes a segment this object created.
    ~ShareMemory();
    ShareMemory(const ShareMemory&) = delete;
    ShareMemory& operator=(const ShareMemory&) = delete;

    // True for physical memory, false for a System V segment.
    bool isCached() const { return mIsCached; }
    // Start of the memory in this process; null when construction failed.
    unsigned char* data() const { return mData; }
    // Size in bytes as asked for (not rounded); 0 when construction failed.
    int size() const { return mSize; }
    // Always 0.
    int cacheSize() const { return mCacheSize; }
    // This object's record, valid while the object lives; all zero when construction failed.
    Info_t* info() { return &mInfo; }
    // Performs no cache maintenance: returns 0 for physical memory, -1 for a segment.
    int flush(unsigned char* addr, int len);
    // As flush(): no cache maintenance; 0 for physical memory, -1 for a segment.
    int invalid(unsigned char* addr, int len);

  private:
    friend struct vorna::AbiCheck;
    bool mIsCached;
    Info_t mInfo;
    unsigned char* mData;
    int mSize;
    int mCacheSize;
    bool mIsAttached;
    int mMemFd;
    int mCacheFd;
};

}  // namespace VORNA
