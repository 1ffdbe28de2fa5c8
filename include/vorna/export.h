#pragma once

// Everything the library exports carries VORNA_API; the rest of the library is hidden.
#define VORNA_API __attribute__((visibility("default")))

// Public classes befriend it so that one translation unit can check their armhf layout member by member;
// a friend declaration adds nothing to the layout.
namespace vorna {
struct AbiCheck;
}
