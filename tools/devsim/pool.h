#pragma once

// The emulated physical memory: one file shared by every process that names the same pool, so that
// they all see the same bytes at the same physical addresses. The file starts with a header that holds
// the table of allocated blocks; physical memory from kPhysicalBase on follows it.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

namespace devsim {

const uint32_t kPhysicalBase = 0x30000000;

// Opens the process's pool, creating the file when it does not exist, at the first call. Returns false
// with errno set when the pool cannot be used.
bool attachPool();

// A new descriptor of the pool file, close-on-exec as asked; -1 with errno on failure.
int duplicatePoolDescriptor(bool closeOnExec);

// Maps [phys, phys + length) of physical memory with the caller's protection and flags. Returns
// MAP_FAILED with errno EINVAL when the range is empty or leaves the pool.
void* mapPhysical(void* hint, size_t length, int protection, int flags, uint64_t phys);

// Reserves a block of at least `size` bytes (page-rounded) holding one reference. Returns 0 with its
// physical address and granted size, or an errno value.
int allocateBlock(uint32_t size, uint32_t* phys, uint32_t* granted);

// Adds a reference to the block that starts at `phys`. Returns 0 with the block's size, or EINVAL when no
// block starts there.
int referenceBlock(uint32_t phys, uint32_t* size);

// Drops one reference; the block's memory is free for new allocations once none is left.
void releaseBlock(uint32_t phys);

}  // namespace devsim
