// The symbols this preload library puts in front of the C library's. Descriptors of the emulated
// devices are real descriptors of the pool file, marked in a table; every other call passes straight
// through to the next definition.

// Our definitions replace the C library's functions; fortified inline wrappers would clash with them.
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

#include "devices.h"
#include "real.h"

using devsim::Device;
using devsim::kNoDevice;

namespace {

// Descriptors above this are never given to a device (the open fails with EMFILE instead).
const int kTrackedDescriptors = 65536;
std::atomic<uint8_t> gDevices[kTrackedDescriptors];

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using OpenFunction = int (*)(const char*, int, ...);
using OpenAtFunction = int (*)(int, const char*, int, ...);
using Open2Function = int (*)(const char*, int);
using MmapFunction = void* (*)(void*, size_t, int, int, int, off_t);
using Mmap64Function = void* (*)(void*, size_t, int, int, int, off64_t);

Device deviceOf(int fd) {
    if (fd < 0 || fd >= kTrackedDescriptors)
        return kNoDevice;
    return static_cast<Device>(gDevices[fd].load(std::memory_order_acquire));
}

int openTracked(Device device, int flags) {
    const int fd = devsim::openDevice(device, flags);
    if (fd >= kTrackedDescriptors) {
        devsim::real::close(fd);
        errno = EMFILE;
        return -1;
    }
    if (fd >= 0)
        gDevices[fd].store(device, std::memory_order_release);
    return fd;
}

// A descriptor number stops being a device before the number is released, so that a device opened by
// another thread meanwhile cannot lose its mark.
void untrack(int fd) {
    if (fd < 0 || fd >= kTrackedDescriptors)
        return;
    const Device device = static_cast<Device>(gDevices[fd].exchange(kNoDevice, std::memory_order_acq_rel));
    if (device != kNoDevice)
        devsim::closeDevice(device, fd);
}

// The open calls all take this turn: a path that names an emulated device opens the device, any other goes
// on to the C library through `passOn`.
template <typename PassOn>
int openDeviceOr(Device device, int flags, PassOn passOn) {
    if (device != kNoDevice)
        return openTracked(device, flags);
    return passOn();
}

// Read only when the flags say the caller passed a mode, so that it may come before the device check.
mode_t modeArgument(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

// openat reaches a device only through its absolute path, whatever directory it is given.
Device deviceAtAbsolute(const char* path) {
    return path != nullptr && path[0] == '/' ? devsim::deviceAt(path) : kNoDevice;
}

}  // namespace

namespace devsim {
namespace real {

int open(const char* path, int flags, mode_t mode) {
    static const OpenFunction function = next<OpenFunction>("open");
    return function(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, mode_t mode) {
    static const OpenAtFunction function = next<OpenAtFunction>("openat");
    return function(dirfd, path, flags, mode);
}

int close(int fd) {
    static const auto function = next<int (*)(int)>("close");
    return function(fd);
}

int ioctl(int fd, unsigned long request, void* argument) {
    static const auto function = next<int (*)(int, unsigned long, ...)>("ioctl");
    return function(fd, request, argument);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off64_t offset) {
    static const Mmap64Function function = next<Mmap64Function>("mmap64");
    return function(address, length, protection, flags, fd, offset);
}

}  // namespace real
}  // namespace devsim

extern "C" {

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openDeviceOr(devsim::deviceAt(path), flags, [&] { return devsim::real::open(path, flags, mode); });
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    static const OpenFunction function = next<OpenFunction>("open64");
    return openDeviceOr(devsim::deviceAt(path), flags, [&] { return function(path, flags, mode); });
}

int __open_2(const char* path, int flags) {
    static const Open2Function function = next<Open2Function>("__open_2");
    return openDeviceOr(devsim::deviceAt(path), flags, [&] { return function(path, flags); });
}

int __open64_2(const char* path, int flags) {
    static const Open2Function function = next<Open2Function>("__open64_2");
    return openDeviceOr(devsim::deviceAt(path), flags, [&] { return function(path, flags); });
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openDeviceOr(deviceAtAbsolute(path), flags,
                        [&] { return devsim::real::openat(dirfd, path, flags, mode); });
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    static const OpenAtFunction function = next<OpenAtFunction>("openat64");
    return openDeviceOr(deviceAtAbsolute(path), flags, [&] { return function(dirfd, path, flags, mode); });
}

int close(int fd) {
    untrack(fd);
    return devsim::real::close(fd);
}

int dup2(int oldfd, int newfd) __THROW {
    static const auto function = next<int (*)(int, int)>("dup2");
    if (oldfd != newfd)
        untrack(newfd);
    return function(oldfd, newfd);
}

int dup3(int oldfd, int newfd, int flags) __THROW {
    static const auto function = next<int (*)(int, int, int)>("dup3");
    untrack(newfd);
    return function(oldfd, newfd, flags);
}

int ioctl(int fd, unsigned long request, ...) __THROW {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const Device device = deviceOf(fd);
    if (device != kNoDevice)
        return devsim::controlDevice(device, request, argument);
    return devsim::real::ioctl(fd, request, argument);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) __THROW {
    const Device device = deviceOf(fd);
    if (device != kNoDevice)
        return devsim::mapDevice(device, address, length, protection, flags, offset);
    static const MmapFunction function = next<MmapFunction>("mmap");
    return function(address, length, protection, flags, fd, offset);
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd, off64_t offset) __THROW {
    const Device device = deviceOf(fd);
    if (device != kNoDevice)
        return devsim::mapDevice(device, address, length, protection, flags, offset);
    return devsim::real::mmap(address, length, protection, flags, fd, offset);
}

}  // extern "C"
