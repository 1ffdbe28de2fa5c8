#pragma once

// Objects that a forked child must leave alone: their locks may have been held by a thread of the parent
// at the fork, and their threads exist only in the parent, so they can be neither locked, joined nor
// destroyed there. The child keeps them as they are; this tells LeakSanitizer that it does so on purpose.

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORNA_HAS_LSAN 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define VORNA_HAS_LSAN 1
#endif

#ifdef VORNA_HAS_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace vorna {

inline void leakOnPurpose(const void* object) {
#ifdef VORNA_HAS_LSAN
    if (object != nullptr)
        __lsan_ignore_object(object);
#else
    static_cast<void>(object);
#endif
}

}  // namespace vorna
