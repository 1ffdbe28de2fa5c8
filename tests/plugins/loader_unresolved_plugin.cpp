// A plug-in that calls a function nothing defines: it loads only when binding is lazy.

extern "C" int loader_plugin_function_nobody_defines();

extern "C" __attribute__((visibility("default"))) int loader_unresolved_plugin_entry() {
    return loader_plugin_function_nobody_defines();
}
