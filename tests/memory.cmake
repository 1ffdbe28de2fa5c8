# The allocator and physical shared memory need "/dev/chunkmem", "/dev/qm_ipc", "/dev/cache" and
# "/dev/mem": their tests (tests/devsim/) run with the device emulator preloaded. Under qemu-arm the
# preload must reach the guest's loader, not qemu itself.
if(TARGET vorna-devsim)
    file(GLOB VORNA_DEVSIM_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/devsim/*.cpp)
    add_executable(memory_devsim_test ${VORNA_DEVSIM_TESTS})
    vorna_warnings(memory_devsim_test)
    target_include_directories(memory_devsim_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(memory_devsim_test PRIVATE vorna_test_support GTest::gtest_main)
    add_dependencies(memory_devsim_test vorna-devsim)
    if(CMAKE_CROSSCOMPILING)
        set(VORNA_DEVSIM_PRELOAD "QEMU_SET_ENV=LD_PRELOAD=$<TARGET_FILE:vorna-devsim>")
    else()
        set(VORNA_DEVSIM_PRELOAD "LD_PRELOAD=$<TARGET_FILE:vorna-devsim>")
    endif()
    gtest_discover_tests(memory_devsim_test DISCOVERY_TIMEOUT 120
                         PROPERTIES TIMEOUT 120 ENVIRONMENT "${VORNA_DEVSIM_PRELOAD}")
endif()
