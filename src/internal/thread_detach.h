#pragma once

#include "vorna/thread.h"

namespace vorna {

// Called on `thread`'s own thread, when nobody will join it: detaches the POSIX thread, so that the system
// reclaims it when it ends, and lets the object's destructor (which must then run on that thread, after
// its loop has returned) skip the join.
void detachSelf(VORNA::Thread& thread);

}  // namespace vorna
