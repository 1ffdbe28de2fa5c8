# log_test starts itself again with VORNA_LOG_LEVEL set, which the library reads at start-up; in a cross
# build through the emulator.
string(REPLACE ";" " " log_test_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
target_compile_definitions(log_test PRIVATE
    VORNA_TEST_SELF="$<TARGET_FILE:log_test>"
    VORNA_TEST_EMULATOR="${log_test_emulator}")
