// A plug-in for the loader tests: plain C symbols, and one counter whose value shows whether two
// loaders share one loaded copy of the library.

namespace {
int gCalls = 0;
}

extern "C" __attribute__((visibility("default"))) int loader_plugin_answer() {
    return 42;
}

extern "C" __attribute__((visibility("default"))) int loader_plugin_count_call() {
    return ++gCalls;
}
