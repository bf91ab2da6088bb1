# A DLL's export and import tables as mingw objdump prints them, for the scripts that check them
# (run with cmake -P; they include this file by its path).
#
#   ql_objdump_headers(<objdump> <dll> <out>)    objdump -p's output; the script fails when objdump does
#   ql_exported_names(<headers> <out>)           the names in the export name table, in its order
#   ql_imported_dlls(<headers> <out>)            the DLLs named in the import tables, as written there

function(ql_objdump_headers objdump dll out)
  execute_process(COMMAND ${objdump} -p ${dll} OUTPUT_VARIABLE dump ERROR_VARIABLE errors RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${objdump} -p ${dll} failed (${result}): ${errors}")
  endif()
  set(${out} "${dump}" PARENT_SCOPE)
endfunction()

# Each match of pattern in text, without the part that matches prefix, stripped.
function(_ql_match_values text pattern prefix out)
  string(REGEX MATCHALL "${pattern}" matches "${text}")
  set(values "")
  foreach(match IN LISTS matches)
    string(REGEX REPLACE "${prefix}" "" value "${match}")
    string(STRIP "${value}" value)
    list(APPEND values "${value}")
  endforeach()
  set(${out} "${values}" PARENT_SCOPE)
endfunction()

# The name table: one "[   n] name" line each after its heading, up to the next blank line.
function(ql_exported_names headers out)
  set(names "")
  string(FIND "${headers}" "[Ordinal/Name Pointer] Table" start)
  if(NOT start EQUAL -1)
    string(SUBSTRING "${headers}" ${start} -1 section)
    string(FIND "${section}" "\n\n" end)
    if(NOT end EQUAL -1)
      string(SUBSTRING "${section}" 0 ${end} section)
    endif()
    _ql_match_values("${section}" "\n[ \t]*\\[ *[0-9]+\\] [^\r\n]+" "^\n[ \t]*\\[ *[0-9]+\\] +" names)
  endif()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

function(ql_imported_dlls headers out)
  _ql_match_values("${headers}" "DLL Name: [^\r\n]+" "^DLL Name: *" dlls)
  set(${out} "${dlls}" PARENT_SCOPE)
endfunction()
