#include <dlfcn.h>
#include <unistd.h>

#include <memory>

#include <gtest/gtest.h>

#include "vorna/loader.h"

namespace {

// Whether the dynamic loader still holds the library, asked without loading it.
bool isLoaded(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle == NULL)
        return false;
    dlclose(handle);
    return true;
}

TEST(LibraryLoader, AFailedLoadGivesNullForEverySymbolAndANullPathTheProcesssSymbols) {
    // An unresolved dependency fails the load at once, not at the first call.
    for (const char* path : {"/nonexistent/vorna/loader_plugin.so", VORNA_TEST_UNRESOLVED_PLUGIN}) {
        VORNA::LibraryLoader loader(path);
        for (const char* symbol : {"loader_plugin_answer", "loader_unresolved_plugin_entry", "getpid"})
            EXPECT_EQ(nullptr, loader.getSymbol(symbol)) << path << " " << symbol;
        EXPECT_FALSE(isLoaded(path)) << path;
    }
    VORNA::LibraryLoader loader(NULL);
    EXPECT_EQ(reinterpret_cast<void*>(&getpid), loader.getSymbol("getpid"));
}

TEST(LibraryLoader, TwoLoadersShareThePluginUntilBothAreDestroyedAndOnlyTheyFindItsSymbols) {
    auto first = std::make_unique<VORNA::LibraryLoader>(VORNA_TEST_PLUGIN);
    auto second = std::make_unique<VORNA::LibraryLoader>(VORNA_TEST_PLUGIN);
    auto countFromFirst = reinterpret_cast<int (*)()>(first->getSymbol("loader_plugin_count_call"));
    auto countFromSecond = reinterpret_cast<int (*)()>(second->getSymbol("loader_plugin_count_call"));
    ASSERT_NE(nullptr, countFromFirst) << "the plug-in did not load from " << VORNA_TEST_PLUGIN;
    ASSERT_NE(nullptr, countFromSecond);
    EXPECT_EQ(nullptr, first->getSymbol("loader_plugin_no_such_symbol"));
    EXPECT_EQ(nullptr, dlsym(RTLD_DEFAULT, "loader_plugin_count_call"))
        << "the plug-in's symbols went global";
    EXPECT_EQ(1, countFromFirst());
    EXPECT_EQ(2, countFromSecond()) << "the second loader got a copy of its own";

    first.reset();
    ASSERT_TRUE(isLoaded(VORNA_TEST_PLUGIN)) << "the first destructor unloaded the second loader's plug-in";
    EXPECT_EQ(3, countFromSecond());

    second.reset();
    EXPECT_FALSE(isLoaded(VORNA_TEST_PLUGIN)) << "a destructor did not release its reference";
}

}  // namespace
