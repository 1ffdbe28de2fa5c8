#include <dlfcn.h>
#include <stddef.h>

#include "vorna/loader.h"

namespace VORNA {

// RTLD_NOW so that a plug-in with a missing dependency fails here, not at its first call; not
// RTLD_GLOBAL, so that two plug-ins may define the same names.
LibraryLoader::LibraryLoader(const char* path) : mHandle(dlopen(path, RTLD_NOW)) {}

LibraryLoader::~LibraryLoader() {
    if (mHandle != NULL)
        dlclose(mHandle);
}

void* LibraryLoader::getSymbol(const char* name) {
    if (mHandle == NULL)
        return NULL;
    return dlsym(mHandle, name);
}

}  // namespace VORNA
