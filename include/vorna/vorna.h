#pragma once

// Everything libvorna offers.
#include "vorna/log.h"
#include "vorna/sync.h"
#include "vorna/thread.h"
#include "vorna/time.h"
