// Chunk memory: a physically contiguous, DMA-able block from the chunk-memory driver, filled by the
// processor and handed to a device, then seen a second time through its physical address, as a device's
// frame buffer would be. On a PC, run it with the device emulator preloaded:
//   LD_PRELOAD=/path/to/libvorna-devsim.so ./example_chunk_memory
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vorna/vorna.h>

namespace {

const unsigned char kFill = 0x5a;

// The block as this process sees it. Its address travels as a 32-bit word.
unsigned char* bytesOf(const mirel28_mem_addr* block) {
    return reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(block->virt));
}

// Maps the block's physical range through "/dev/mem" and checks that it holds what was written.
bool physicalViewMatches(const mirel28_mem_addr* block) {
    // Physical memory (through "/dev/mem"), for example a frame buffer.
    VORNA::ShareMemory frame(reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(block->phys)),
                             block->size, true);
    if (frame.data() == NULL) {
        fprintf(stderr, "cannot map physical memory at 0x%x\n", block->phys);
        return false;
    }
    for (int i = 0; i < frame.size(); ++i) {
        if (frame.data()[i] != kFill)
            return false;
    }
    return true;  // the destructor unmaps
}

int useBlock() {
    // Physically contiguous, DMA-able blocks from the chunk-memory driver.
    mirel28_mem_addr* block = hwmem_alloc(64 * 1024, 0);
    if (block == NULL)
        return 1;  // no block: nothing to free
    memset(bytesOf(block), kFill, block->size);
    hwmem_cache_clean(bytesOf(block), block->size);  // before the device reads it
    printf("block of %u bytes at physical 0x%x\n", block->size, block->phys);

    const bool matches = physicalViewMatches(block);
    printf("the physical view %s\n", matches ? "holds the same bytes" : "differs");
    hwmem_free(block);
    return matches ? 0 : 1;
}

}  // namespace

int main() {
    if (hwmem_init() != 0) {
        fprintf(stderr, "no chunk-memory devices (on a PC, preload libvorna-devsim.so)\n");
        return 1;
    }
    const int status = useBlock();
    hwmem_deinit();
    return status;
}
