#pragma once

#include "vorna/export.h"

namespace VORNA {

// Keeps one shared library (a plug-in) loaded for the lifetime of the object and looks up its symbols.
// Every undefined symbol of the library is resolved at load time, and its own symbols stay local to it:
// they are reached through getSymbol() only. Nothing is logged; a failed load shows only as null
// symbols. Not copyable: each object owns its own reference to the library.
class VORNA_API LibraryLoader {
  public:
    // Loads the library at `path`. A path that cannot be loaded (missing file, unresolved symbol) builds
    // an object whose every getSymbol() returns null. A null path gives the main program, so that
    // getSymbol() finds the process's global symbols.
    explicit LibraryLoader(const char* path);
    // Drops this object's reference: the library is unloaded once no other reference to it remains, and
    // the symbols taken from it may then no longer be used.
    ~LibraryLoader();
    LibraryLoader(const LibraryLoader&) = delete;
    LibraryLoader& operator=(const LibraryLoader&) = delete;

    // Returns the address of the symbol `name`, or null when it is not found or the load failed. Any
    // thread may call it.
    void* getSymbol(const char* name);

  private:
    friend struct vorna::AbiCheck;
    void* mHandle;
};

}  // namespace VORNA
