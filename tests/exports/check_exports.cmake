# cmake -DOBJDUMP=<objdump> -DDLL=<dll> -DEXPECTED=<list file> -P check_exports.cmake
#
# Fails unless the DLL exports exactly the names in the list file (one a line, # comments) and
# imports from system DLLs only: a module that imports the C++ runtime, libgcc or winpthread
# does not load on a machine without the compiler's DLLs.
cmake_minimum_required(VERSION 3.21)
foreach(var OBJDUMP DLL EXPECTED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_exports.cmake: ${var} is not set")
  endif()
endforeach()

set(system_dlls
  kernel32 user32 advapi32 ole32 oleaut32 msvcrt ntdll gdi32 shell32 rpcrt4 shlwapi ucrtbase)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${result}): ${errors}")
endif()

# Exports: the name table, one "[   n] name" line each, up to the next blank line.
set(exported "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
if(NOT start EQUAL -1)
  string(SUBSTRING "${dump}" ${start} -1 section)
  string(FIND "${section}" "\n\n" end)
  if(NOT end EQUAL -1)
    string(SUBSTRING "${section}" 0 ${end} section)
  endif()
  string(REGEX MATCHALL "\n[ \t]*\\[ *[0-9]+\\] [^\r\n]+" entries "${section}")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^\n[ \t]*\\[ *[0-9]+\\] +" "" name "${entry}")
    string(STRIP "${name}" name)
    list(APPEND exported "${name}")
  endforeach()
endif()

file(STRINGS ${EXPECTED} expected REGEX "^[^#]")
list(TRANSFORM expected STRIP)
list(REMOVE_ITEM expected "")

set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${expected})

# Imports.
string(REGEX MATCHALL "DLL Name: [^\r\n]+" import_lines "${dump}")
set(foreign "")
foreach(line IN LISTS import_lines)
  string(REGEX REPLACE "^DLL Name: *" "" dll_name "${line}")
  string(STRIP "${dll_name}" dll_name)
  string(TOLOWER "${dll_name}" lower)
  string(REGEX REPLACE "\\.dll$" "" base "${lower}")
  if(NOT base IN_LIST system_dlls AND NOT base MATCHES "^api-ms-win-")
    list(APPEND foreign "${dll_name}")
  endif()
endforeach()

get_filename_component(dll_file ${DLL} NAME)
set(report "")
foreach(name IN LISTS missing)
  string(APPEND report "  missing export:    ${name}\n")
endforeach()
foreach(name IN LISTS unexpected)
  string(APPEND report "  unexpected export: ${name}\n")
endforeach()
foreach(name IN LISTS foreign)
  string(APPEND report "  non-system import: ${name}\n")
endforeach()
if(report)
  message(FATAL_ERROR "${dll_file} against ${EXPECTED}:\n${report}")
endif()
list(LENGTH exported count)
message(STATUS "${dll_file}: ${count} exports as listed, system imports only")
