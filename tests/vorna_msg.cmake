# vorna_msg_test runs the built tool in child processes, as a user would. In a cross build the test itself
# runs under the emulator, and so must the tool it starts. The tool's reading of the kernel's socket table
# is also tested directly, with lines no kernel would write.
if(TARGET vorna-msg)
    add_dependencies(vorna_msg_test vorna-msg)
    string(REPLACE ";" " " vorna_msg_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    target_compile_definitions(vorna_msg_test PRIVATE
        VORNA_MSG_PATH="$<TARGET_FILE:vorna-msg>"
        VORNA_MSG_EMULATOR="${vorna_msg_emulator}"
        VORNA_VERSION="${PROJECT_VERSION}")
    target_sources(vorna_msg_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/vorna-msg/socket_table.cpp)
    target_include_directories(vorna_msg_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/vorna-msg)
endif()
