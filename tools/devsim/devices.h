#pragma once

// What the four emulated devices do with the operations that reach them. The hooks decide which
// descriptors are devices; these functions only serve them.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

namespace devsim {

enum Device : uint8_t { kNoDevice = 0, kChunkmem, kIpc, kCache, kPhysMem };

// The emulated device that `path` names, or kNoDevice.
Device deviceAt(const char* path);

// Opens `device`: a descriptor of the pool file, close-on-exec when `flags` ask for it. -1 with errno
// (ENOENT for a device made missing).
int openDevice(Device device, int flags);

// Notes that the descriptor of `device` is being closed.
void closeDevice(Device device, int fd);

// Serves one request: 0 on success, -1 with errno (ENOTTY for an unknown request, EINVAL for a known
// one with another argument size or direction, EIO for an injected failure).
int controlDevice(Device device, unsigned long request, void* argument);

// Maps physical memory for "/dev/qm_ipc" and "/dev/mem", whose file offset is the physical address.
void* mapDevice(Device device, void* hint, size_t length, int protection, int flags, off64_t offset);

}  // namespace devsim
