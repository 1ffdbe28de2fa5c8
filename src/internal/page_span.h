#pragma once

// The page-rounded span behind a mapping of an unaligned range. Mapping and unmapping compute it the
// same way, so that an unmap releases exactly what the map took.

#include <stdint.h>
#include <unistd.h>

namespace vorna {

struct PageSpan {
    uint64_t base;    // the address rounded down to a page boundary
    uint64_t offset;  // the address's offset inside its page
    size_t length;    // size plus offset, rounded up to whole pages; 0 for a negative size
};

inline PageSpan pageSpanOf(uint64_t address, int size) {
    const uint64_t page = static_cast<uint64_t>(getpagesize());
    PageSpan span;
    span.offset = address % page;
    span.base = address - span.offset;
    // A negative size must not turn into a mapping of the in-page offset alone.
    const uint64_t wanted = size >= 0 ? static_cast<uint64_t>(size) + span.offset : 0;
    span.length = static_cast<size_t>((wanted + page - 1) / page * page);
    return span;
}

}  // namespace vorna
