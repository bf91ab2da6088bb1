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
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ExportTable.cmake)

set(system_dlls
  kernel32 user32 advapi32 ole32 oleaut32 msvcrt ntdll gdi32 shell32 rpcrt4 shlwapi ucrtbase)

ql_objdump_headers(${OBJDUMP} ${DLL} headers)
ql_exported_names("${headers}" exported)

file(STRINGS ${EXPECTED} expected REGEX "^[^#]")
list(TRANSFORM expected STRIP)
list(REMOVE_ITEM expected "")

set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${expected})

ql_imported_dlls("${headers}" imported)
set(foreign "")
foreach(dll_name IN LISTS imported)
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
