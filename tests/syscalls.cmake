# The system calls and locks of a round trip in each messaging mode, and of idle servers and clients,
# counted under strace (host) or with qemu's strace log (cross build). Sanitizer runtimes make calls of
# their own, so those builds leave the count out.
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize" AND (CMAKE_CROSSCOMPILING_EMULATOR OR NOT CMAKE_CROSSCOMPILING))
    find_program(VORNA_STRACE strace)
    add_executable(syscall_probe ${CMAKE_CURRENT_SOURCE_DIR}/syscalls/syscall_probe.cpp)
    vorna_warnings(syscall_probe)
    # Exported, so that its lock counters stand in for the C library's in the library's calls too.
    set_target_properties(syscall_probe PROPERTIES ENABLE_EXPORTS ON)
    target_link_libraries(syscall_probe PRIVATE vorna ${CMAKE_DL_LIBS})
    if(CMAKE_CROSSCOMPILING_EMULATOR OR VORNA_STRACE)
        foreach(scenario direct-call direct-sendrecv notifier-call notifier-sendrecv loop-call idle)
            add_test(NAME SyscallCount.${scenario}
                     COMMAND ${CMAKE_COMMAND} -DPROBE=$<TARGET_FILE:syscall_probe> -DSCENARIO=${scenario}
                             -DWORK=${CMAKE_CURRENT_BINARY_DIR}/syscalls/${scenario}
                             "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
                             -P ${CMAKE_CURRENT_SOURCE_DIR}/syscalls/count.cmake)
            set_tests_properties(SyscallCount.${scenario} PROPERTIES TIMEOUT 300)
        endforeach()
    endif()
endif()
