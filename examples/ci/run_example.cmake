# Runs one example as CI does and checks it (cmake -P). Variables:
#   PROGRAM     the example program
#   ARGS        its arguments, separated by '|'
#   EMULATOR    the cross build's emulator command, separated by '|' (empty on the host)
#   PRELOAD     a library to preload into the program (the device emulator), or empty
#   EXPECTED    file of expected output: each line a regular expression that must match somewhere in
#               the program's standard output and error; a line starting with '!' must not match;
#               a line "file PATH REGEX" must match in the file PATH after the run
#   PROCESSES   how many processes end through exit() and so report the exit audit (default 1)
#   KEEP_OPEN   descriptor targets that may stay open at exit, separated by '|'
#   WORK_DIR    directory for the run's files (created, and removed first)
cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" args "${ARGS}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
if(NOT PROCESSES)
    set(PROCESSES 1)
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

# Everything the example writes goes in the work directory, the device emulator's pool included, so that
# runs of other tests never share it.
string(REPLACE "|" ";" keep_open "${KEEP_OPEN}")
set(ENV{VORNA_DEVSIM_POOL} "${WORK_DIR}/devsim.pool")
list(APPEND keep_open "${WORK_DIR}/devsim.pool")
string(JOIN ";" keep_env ${keep_open})
set(ENV{VORNA_EXAMPLE_KEEP_OPEN} "${keep_env}")
if(PRELOAD AND emulator)
    # Under qemu-arm the preload must reach the guest's loader, not qemu itself.
    set(ENV{QEMU_SET_ENV} "LD_PRELOAD=${PRELOAD}")
elseif(PRELOAD)
    set(ENV{LD_PRELOAD} "${PRELOAD}")
endif()

execute_process(COMMAND ${emulator} "${PROGRAM}" ${args}
                WORKING_DIRECTORY "${WORK_DIR}"
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output
                TIMEOUT 100)
message("${output}")

set(failures "")
if(NOT status EQUAL 0)
    string(APPEND failures "exit status ${status}, not 0\n")
endif()

string(REGEX MATCHALL "exit audit: no descriptor left open" clean "${output}")
list(LENGTH clean clean_count)
if(NOT clean_count EQUAL PROCESSES OR output MATCHES "exit audit: descriptor")
    string(APPEND failures "expected ${PROCESSES} clean exit audit(s), found ${clean_count}\n")
endif()

file(STRINGS "${EXPECTED}" expectations)
foreach(expectation IN LISTS expectations)
    if(expectation MATCHES "^file ([^ ]+) (.*)$")
        set(path "${WORK_DIR}/${CMAKE_MATCH_1}")
        set(pattern "${CMAKE_MATCH_2}")
        set(text "")
        if(EXISTS "${path}")
            file(READ "${path}" text)
        endif()
        if(NOT text MATCHES "${pattern}")
            string(APPEND failures "${CMAKE_MATCH_1} lacks: ${pattern}\n")
        endif()
    elseif(expectation MATCHES "^!(.*)$")
        if(output MATCHES "${CMAKE_MATCH_1}")
            string(APPEND failures "unexpected output: ${CMAKE_MATCH_1}\n")
        endif()
    elseif(NOT output MATCHES "${expectation}")
        string(APPEND failures "missing output: ${expectation}\n")
    endif()
endforeach()

if(failures)
    message(FATAL_ERROR "${PROGRAM}:\n${failures}")
endif()
