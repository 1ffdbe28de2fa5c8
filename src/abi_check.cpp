// The layout of every public class and record as applications built for the armhf target see it: size and
// each member's offset, members in their published order. Any change here breaks binaries in the field.

#include <stddef.h>

#include "vorna/loader.h"
#include "vorna/memory.h"
#include "vorna/messaging.h"
#include "vorna/sync.h"
#include "vorna/thread.h"
#include "vorna/time.h"

#if defined(__arm__)

// offsetof on the classes with a virtual table is conditionally supported; GCC and Clang give the plain
// byte offset, which is exactly what is checked.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"

namespace vorna {

struct AbiCheck {
    static_assert(sizeof(VORNA::Mutex) == 4, "Mutex size");
    static_assert(offsetof(VORNA::Mutex, mMutex) == 0, "Mutex::mMutex");

    static_assert(sizeof(VORNA::Condition) == 4, "Condition size");
    static_assert(offsetof(VORNA::Condition, mCond) == 0, "Condition::mCond");

    static_assert(sizeof(VORNA::Semaphore) == 4, "Semaphore size");
    static_assert(offsetof(VORNA::Semaphore, mSem) == 0, "Semaphore::mSem");

    // The virtual table pointer comes first.
    static_assert(sizeof(VORNA::Thread) == 8, "Thread size");
    static_assert(offsetof(VORNA::Thread, mPrivateData) == 4, "Thread::mPrivateData");

    static_assert(sizeof(VORNA::Listener) == 20, "Listener size");
    static_assert(offsetof(VORNA::Listener, mName) == 0, "Listener::mName");
    static_assert(offsetof(VORNA::Listener, mReserved) == 4, "Listener::mReserved");
    static_assert(offsetof(VORNA::Listener, m_priv) == 8, "Listener::m_priv");
    static_assert(offsetof(VORNA::Listener, mCbk) == 12, "Listener::mCbk");
    static_assert(offsetof(VORNA::Listener, mCbkCtx) == 16, "Listener::mCbkCtx");

    static_assert(sizeof(VORNA::Connection) == 20, "Connection size");
    static_assert(offsetof(VORNA::Connection, mName) == 0, "Connection::mName");
    static_assert(offsetof(VORNA::Connection, mReserved) == 4, "Connection::mReserved");
    static_assert(offsetof(VORNA::Connection, pSocket) == 8, "Connection::pSocket");
    static_assert(offsetof(VORNA::Connection, mCbk) == 12, "Connection::mCbk");
    static_assert(offsetof(VORNA::Connection, mCbkCtx) == 16, "Connection::mCbkCtx");

    // The workers extend the 8-byte Thread base.
    static_assert(sizeof(ListenerSktWorker) == 16, "ListenerSktWorker size");
    static_assert(offsetof(ListenerSktWorker, als) == 8, "ListenerSktWorker::als");
    static_assert(offsetof(ListenerSktWorker, conn_list) == 12, "ListenerSktWorker::conn_list");

    static_assert(sizeof(ConnectionSktWorker) == 20, "ConnectionSktWorker size");
    static_assert(offsetof(ConnectionSktWorker, als) == 8, "ConnectionSktWorker::als");
    static_assert(offsetof(ConnectionSktWorker, mCbk) == 12, "ConnectionSktWorker::mCbk");
    static_assert(offsetof(ConnectionSktWorker, mCbkCtx) == 16, "ConnectionSktWorker::mCbkCtx");

    using Info_t = VORNA::ShareMemory::Info_t;
    static_assert(sizeof(Info_t) == 24, "ShareMemory::Info_t size");
    static_assert(offsetof(Info_t, type) == 0, "Info_t::type");
    static_assert(offsetof(Info_t, length) == 4, "Info_t::length");
    static_assert(offsetof(Info_t, phys) == 8, "Info_t::phys");
    static_assert(offsetof(Info_t, size) == 12, "Info_t::size");
    static_assert(offsetof(Info_t, shmkey) == 16, "Info_t::shmkey");
    static_assert(offsetof(Info_t, shmid) == 20, "Info_t::shmid");

    static_assert(sizeof(VORNA::ShareMemory) == 52, "ShareMemory size");
    static_assert(offsetof(VORNA::ShareMemory, mIsCached) == 0, "ShareMemory::mIsCached");
    static_assert(offsetof(VORNA::ShareMemory, mInfo) == 4, "ShareMemory::mInfo");
    static_assert(offsetof(VORNA::ShareMemory, mData) == 28, "ShareMemory::mData");
    static_assert(offsetof(VORNA::ShareMemory, mSize) == 32, "ShareMemory::mSize");
    static_assert(offsetof(VORNA::ShareMemory, mCacheSize) == 36, "ShareMemory::mCacheSize");
    static_assert(offsetof(VORNA::ShareMemory, mIsAttached) == 40, "ShareMemory::mIsAttached");
    static_assert(offsetof(VORNA::ShareMemory, mMemFd) == 44, "ShareMemory::mMemFd");
    static_assert(offsetof(VORNA::ShareMemory, mCacheFd) == 48, "ShareMemory::mCacheFd");

    static_assert(sizeof(mirel28_mem_addr) == 12, "mirel28_mem_addr size");
    static_assert(offsetof(mirel28_mem_addr, phys) == 0, "mirel28_mem_addr::phys");
    static_assert(offsetof(mirel28_mem_addr, virt) == 4, "mirel28_mem_addr::virt");
    static_assert(offsetof(mirel28_mem_addr, size) == 8, "mirel28_mem_addr::size");

    // Checked on every target in messaging.h as well, since the header is what goes over the socket.
    static_assert(sizeof(MsgHeader) == 32, "MsgHeader size");
    static_assert(offsetof(MsgHeader, magic) == 0, "MsgHeader::magic");
    static_assert(offsetof(MsgHeader, id) == 4, "MsgHeader::id");
    static_assert(offsetof(MsgHeader, msg) == 8, "MsgHeader::msg");
    static_assert(offsetof(MsgHeader, reserved0) == 12, "MsgHeader::reserved0");
    static_assert(offsetof(MsgHeader, time_us) == 16, "MsgHeader::time_us");
    static_assert(offsetof(MsgHeader, len) == 24, "MsgHeader::len");
    static_assert(offsetof(MsgHeader, reserved1) == 28, "MsgHeader::reserved1");

    // The 64-bit fields are 8-byte aligned under the ARM EABI.
    static_assert(sizeof(SystemTime::timespec_s) == 16, "SystemTime::timespec_s size");
    static_assert(offsetof(SystemTime::timespec_s, sec) == 0, "timespec_s::sec");
    static_assert(offsetof(SystemTime::timespec_s, usec) == 8, "timespec_s::usec");

    static_assert(sizeof(VORNA::LibraryLoader) == 4, "LibraryLoader size");
    static_assert(offsetof(VORNA::LibraryLoader, mHandle) == 0, "LibraryLoader::mHandle");
};

}  // namespace vorna

#pragma GCC diagnostic pop

#endif
