# Whether this build's programs run emulated, and how many times longer the tests' hang limits are
# for it.
#
# On a kernel that starts no 32-bit program, 32-bit Wine runs under qemu's user-mode emulator,
# registered for 32-bit ELF programs through binfmt_misc (scripts/setup.sh does that). The kernel
# tries binfmt_misc's entries before its own ELF loader, so while such an entry is enabled every
# 32-bit program goes through the emulator, many times slower than natively. The tests' time limits
# only catch hangs; on an emulated build they are QL_TIME_SCALE times longer, and the soaks count
# fewer calls (QL_EMULATED). A native build keeps QL_TIME_SCALE 1 and every count at full length.
#
# QL_TIME_SCALE reaches the tests as the environment variable of the same name: build/<arch>/wine-run.sh
# exports it to every Windows program (tests/support/time_scale.h reads it), CTest gives it to the
# real-JVM flow runner, and CTest's own time-outs are multiplied by it here. -DQL_TIME_SCALE=<n>
# overrides the choice; build/<arch>/time-scale holds it for the scripts.

set(QL_EMULATED OFF)
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND EXISTS /proc/sys/fs/binfmt_misc/status)
  file(READ /proc/sys/fs/binfmt_misc/status binfmt_status)
  if(binfmt_status MATCHES "^enabled")
    file(GLOB binfmt_entries /proc/sys/fs/binfmt_misc/*)
    foreach(entry IN LISTS binfmt_entries)
      get_filename_component(entry_name ${entry} NAME)
      if(entry_name STREQUAL "status" OR entry_name STREQUAL "register")
        continue()
      endif()
      file(READ ${entry} entry_text)
      # An enabled entry for 32-bit little-endian x86 executables and shared objects (e_machine 3).
      if(entry_text MATCHES "^enabled" AND entry_text MATCHES "\nmagic 7f454c460101010000000000000000000[23]000300")
        set(QL_EMULATED ON)
        string(REGEX MATCH "interpreter [^\n]*" ql_emulator "${entry_text}")
      endif()
    endforeach()
  endif()
endif()

if(QL_EMULATED)
  set(ql_default_time_scale 6)
else()
  set(ql_default_time_scale 1)
endif()
set(QL_TIME_SCALE "" CACHE STRING
    "How many times longer the tests' hang limits are (empty: 6 where the build's programs run emulated, else 1)")
if(QL_TIME_SCALE STREQUAL "")
  set(QL_TIME_SCALE ${ql_default_time_scale})  # for this configure only: a machine that changes is seen again
endif()
if(NOT QL_TIME_SCALE MATCHES "^[1-9][0-9]?$")
  message(FATAL_ERROR "QL_TIME_SCALE must be a whole number from 1 to 99, not '${QL_TIME_SCALE}'")
endif()
if(QL_EMULATED)
  message(STATUS "${QL_ARCH} programs run emulated (binfmt_misc, ${ql_emulator}): "
                 "tests' hang limits x${QL_TIME_SCALE}, soaks shortened")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/time-scale "${QL_TIME_SCALE}\n")

# ql_scaled(<out> <seconds>): a hang limit of the given seconds on a native build, for this one.
function(ql_scaled out seconds)
  math(EXPR scaled "${seconds} * ${QL_TIME_SCALE}")
  set(${out} ${scaled} PARENT_SCOPE)
endfunction()
