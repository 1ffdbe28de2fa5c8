# crash_test crashes in functions of its own and has the report resolved as the README tells users to:
# built with unwind tables and debug information, and its symbols exported.
target_compile_options(crash_test PRIVATE -g -funwind-tables)
target_link_options(crash_test PRIVATE -rdynamic)
target_compile_definitions(crash_test PRIVATE VORNA_SYMBOLIZE="${PROJECT_SOURCE_DIR}/tools/vorna-symbolize")
