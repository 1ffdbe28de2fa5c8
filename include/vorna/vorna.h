#pragma once

// Everything libvorna offers.
#include "vorna/loader.h"
#include "vorna/log.h"
#include "vorna/memory.h"
#include "vorna/messaging.h"
#include "vorna/sync.h"
#include "vorna/thread.h"
#include "vorna/time.h"
