# The socket-activation test starts the test program itself under systemd-socket-activate, as a service
# manager would start a server; in a cross build through the emulator.
string(REPLACE ";" " " listener_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
target_compile_definitions(listener_test PRIVATE VORNA_TEST_EMULATOR="${listener_emulator}")
