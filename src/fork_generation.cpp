#include <pthread.h>

#include <atomic>

#include "internal/owner_process.h"

namespace {

std::atomic<unsigned> gForkGeneration(0);

void advanceInChild() {
    gForkGeneration.fetch_add(1, std::memory_order_relaxed);
}

// Registered while the library loads, before any of its objects can exist.
struct ForkHandler {
    ForkHandler() { pthread_atfork(nullptr, nullptr, advanceInChild); }
} gForkHandler;

}  // namespace

namespace vorna {

unsigned forkGeneration() {
    return gForkGeneration.load(std::memory_order_relaxed);
}

}  // namespace vorna
