# Plug-ins loaded by loader_test, found through their absolute paths (which also hold under qemu-arm).
foreach(plugin loader_plugin loader_unresolved_plugin)
    add_library(vorna_${plugin} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/plugins/${plugin}.cpp)
    vorna_warnings(vorna_${plugin})
    add_dependencies(loader_test vorna_${plugin})
endforeach()
# The second plug-in must keep its undefined reference: only the loader may fail on it.
target_link_options(vorna_loader_unresolved_plugin PRIVATE -Wl,--allow-shlib-undefined -Wl,-z,undefs)
target_compile_definitions(loader_test PRIVATE
    VORNA_TEST_PLUGIN="$<TARGET_FILE:vorna_loader_plugin>"
    VORNA_TEST_UNRESOLVED_PLUGIN="$<TARGET_FILE:vorna_loader_unresolved_plugin>")
target_link_libraries(loader_test PRIVATE ${CMAKE_DL_LIBS})
