# Counts the system calls and mutex locks of the messaging: one scenario of syscall_probe, run with N round
# trips (or N seconds idle) and with none, under strace on the host or with qemu's strace log for a cross
# build. Fails when a round trip costs more than its budget, or when idling costs anything.
#   cmake -DPROBE=<syscall_probe> -DSCENARIO=<mode|idle> -DWORK=<dir> [-DEMULATOR=<qemu-arm;...>] -P count.cmake

# Budgets per round trip: client system calls, server system calls, client locks, server locks.
set(budget_direct-call 3 3 2 2)
set(budget_direct-sendrecv 3 3 2 2)
set(budget_notifier-call 4 3 2 2)
set(budget_notifier-sendrecv 4 3 2 2)
set(budget_loop-call 3 3 2 2)
set(trips 200)
# Connecting and closing differ a little between runs (which side sees the end first): a few calls of
# slack for the whole run, far below one more call per round trip.
set(slack 10)
set(idle_seconds 10)

file(MAKE_DIRECTORY ${WORK})

# The command that runs the probe with `args` and writes its system calls to `log`.
function(traced out log)
    if(EMULATOR)
        set(${out} ${CMAKE_COMMAND} -E env QEMU_LOG=strace QEMU_LOG_FILENAME=${log} ${EMULATOR} ${PROBE} ${ARGN}
            PARENT_SCOPE)
    else()
        set(${out} strace -f -qq -c -o ${log} ${PROBE} ${ARGN} PARENT_SCOPE)
    endif()
endfunction()

# The number of system calls in `log`.
function(calls out log)
    file(READ ${log} text)
    if(EMULATOR)
        # On the device the clock is read through the vDSO, without a system call; qemu-user has no vDSO
        # and shows every read.
        string(REGEX REPLACE "(^|\n)[0-9]+ (clock_gettime64|clock_gettime|gettimeofday)\\(" "\n" text "${text}")
        string(REGEX MATCHALL "(^|\n)[0-9]+ [a-z_0-9]+\\(" lines "${text}")
        list(LENGTH lines count)
    else()
        string(REGEX MATCH "\n *[0-9.]+ +[0-9.]+ +[0-9]* +([0-9]+) +[0-9 ]*total" total "${text}")
        set(count ${CMAKE_MATCH_1})
    endif()
    if(count STREQUAL "")
        message(FATAL_ERROR "no count in ${log}:\n${text}")
    endif()
    set(${out} ${count} PARENT_SCOPE)
endfunction()

# The locks that `role` reported in `text`.
function(locks out role text)
    string(REGEX MATCH "${role}-locks ([0-9]+)" found "${text}")
    if(found STREQUAL "")
        message(FATAL_ERROR "${role} reported no lock count:\n${text}")
    endif()
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

# Runs the scenario `count` times; sets client, server, client_locks and server_locks in the caller.
function(run_scenario count)
    string(RANDOM LENGTH 8 suffix)
    set(name vorna-count-${suffix})
    traced(server ${WORK}/server-${count}.log serve ${name})
    traced(client ${WORK}/client-${count}.log ${SCENARIO} ${name} ${count})
    execute_process(COMMAND ${server} COMMAND ${client} RESULTS_VARIABLE results ERROR_VARIABLE err
                    TIMEOUT 300)
    if(NOT results STREQUAL "0;0")
        message(FATAL_ERROR "the probe failed (${results}):\n${err}")
    endif()
    calls(c ${WORK}/client-${count}.log)
    calls(s ${WORK}/server-${count}.log)
    locks(cl call "${err}")
    locks(sl serve "${err}")
    set(client ${c} PARENT_SCOPE)
    set(server ${s} PARENT_SCOPE)
    set(client_locks ${cl} PARENT_SCOPE)
    set(server_locks ${sl} PARENT_SCOPE)
endfunction()

if(SCENARIO STREQUAL "idle")
    # The probe marks the idle time with two getppid() calls; in it only its own wait may appear.
    if(EMULATOR)
        set(command ${CMAKE_COMMAND} -E env QEMU_LOG=strace QEMU_LOG_FILENAME=${WORK}/idle.log ${EMULATOR})
    else()
        set(command strace -f -qq -o ${WORK}/idle.log)
    endif()
    execute_process(COMMAND ${command} ${PROBE} idle ${idle_seconds} RESULT_VARIABLE result ERROR_VARIABLE err
                    TIMEOUT 300)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "the idle probe failed (${result}):\n${err}")
    endif()
    file(READ ${WORK}/idle.log text)
    string(REGEX REPLACE "(^|\n)[0-9]+ (clock_gettime64|clock_gettime|gettimeofday)\\([^\n]*" "" text "${text}")
    string(REGEX MATCH "getppid\\(.*getppid\\(" window "${text}")
    string(REGEX MATCHALL "\n([0-9]+ +)?[a-z_0-9]+\\(" calls "${window}")
    list(LENGTH calls count)
    math(EXPR extra "${count} - 2")  # the wait and the closing mark
    message(STATUS "${idle_seconds} s idle: ${extra} system calls besides the probe's own wait")
    if(window STREQUAL "" OR NOT extra EQUAL 0)
        message(FATAL_ERROR "idle servers and clients made ${extra} system calls in ${idle_seconds} s:\n${window}")
    endif()
    return()
endif()

run_scenario(0)
foreach(value client server client_locks server_locks)
    set(base_${value} ${${value}})
endforeach()
run_scenario(${trips})
set(failed "")
foreach(value client server client_locks server_locks)
    list(POP_FRONT budget_${SCENARIO} limit)
    math(EXPR spent "${${value}} - ${base_${value}}")
    math(EXPR allowed "${limit} * ${trips} + ${slack}")
    math(EXPR per_trip_x100 "${spent} * 100 / ${trips}")
    message(STATUS "${SCENARIO}: ${value} ${spent} in ${trips} round trips (x100 per trip: ${per_trip_x100}, budget ${limit})")
    if(spent GREATER allowed)
        string(APPEND failed " ${value}")
    endif()
endforeach()
if(failed)
    message(FATAL_ERROR "${SCENARIO} is over its budget:${failed}")
endif()
