// Plug-ins: loads a codec plug-in, creates a codec through the function it exports and uses it.
// Usage: example_plugin PLUGIN (for example /usr/lib/app/codec.so)
#include <stdio.h>

#include <memory>

#include <vorna/vorna.h>

#include "codec.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s PLUGIN\n", argv[0]);
        return 2;
    }
    const char* path = argv[1];
    VORNA::LibraryLoader plugin(path);
    auto create = reinterpret_cast<Codec* (*)()>(plugin.getSymbol("createCodec"));  // null if missing
    if (create == NULL) {
        fprintf(stderr, "%s: not loadable, or no createCodec\n", path);
        return 1;
    }
    // Declared after the loader, so destroyed before it: the codec's code lives in the plug-in.
    std::unique_ptr<Codec> codec(create());
    char encoded[32];
    if (codec == NULL || codec->encode("Hello, plug-in", encoded, sizeof encoded) < 0)
        return 1;
    printf("encoded: %s\n", encoded);
    return 0;
}
