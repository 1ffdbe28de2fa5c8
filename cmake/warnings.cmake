# Warnings are errors for the project's own targets (not for GoogleTest's).
function(vorna_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
