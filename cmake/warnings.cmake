# Warnings are errors for the project's own targets (not for GoogleTest's). With clang, lock misuse is one:
# every guarded field and lock requirement in the sources is annotated (src/internal/thread_annotations.h).
function(vorna_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        target_compile_options(${target} PRIVATE -Wthread-safety)
    endif()
endfunction()
