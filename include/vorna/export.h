#pragma once

// Everything the library exports carries VORNA_API; the rest of the library is hidden.
#define VORNA_API __attribute__((visibility("default")))
