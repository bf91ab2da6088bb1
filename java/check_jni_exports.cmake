# cmake -DOBJDUMP=<objdump> -DDLL=<dll> -DHEADER=<javac -h header> -DARCH=<x86|x64> [-DSTAMP=<file>]
#     -P check_jni_exports.cmake
#
# Fails unless the DLL exports every native method that javac declared in the header, under the
# name the JVM of that architecture looks up (_Name@N on x86, N the stdcall argument bytes; the
# plain name on x64), and no other JNI function of that class: a Java method renamed or dropped
# would otherwise leave the old C++ function exported and the JVM failing at the first call.
cmake_minimum_required(VERSION 3.21)
foreach(var OBJDUMP DLL HEADER ARCH)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_jni_exports.cmake: ${var} is not set")
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/ExportTable.cmake)

# Stack bytes of one parameter of a 32-bit stdcall function: 8 for the 64-bit Java types, 4 for
# every other (pointers, references and the smaller Java types, which are widened to 4).
function(stack_bytes type out)
  string(STRIP "${type}" type)
  if(type MATCHES "^(jlong|jdouble)$")
    set(${out} 8 PARENT_SCOPE)
  else()
    set(${out} 4 PARENT_SCOPE)
  endif()
endfunction()

file(READ ${HEADER} header)
string(REGEX MATCHALL "JNIEXPORT[^;]*JNICALL[ \t\r\n]+Java_[A-Za-z0-9_]+[ \t\r\n]*\\([^)]*\\)" declarations "${header}")
if(NOT declarations)
  message(FATAL_ERROR "${HEADER}: no native method declared")
endif()

set(expected "")
set(class_prefix "")
foreach(declaration IN LISTS declarations)
  string(REGEX MATCH "(Java_[A-Za-z0-9_]+)[ \t\r\n]*\\(([^)]*)\\)" _ "${declaration}")
  set(name ${CMAKE_MATCH_1})
  set(params "${CMAKE_MATCH_2}")
  if(NOT class_prefix)
    # javac writes only the methods of one class per header: Java_<mangled class>_<method>.
    get_filename_component(class_file ${HEADER} NAME_WE)
    set(class_prefix "Java_${class_file}_")
  endif()
  if(ARCH STREQUAL "x86")
    string(REPLACE "," ";" param_list "${params}")
    set(bytes 0)
    foreach(param IN LISTS param_list)
      stack_bytes("${param}" size)
      math(EXPR bytes "${bytes} + ${size}")
    endforeach()
    list(APPEND expected "_${name}@${bytes}")
  else()
    list(APPEND expected "${name}")
  endif()
endforeach()

ql_objdump_headers(${OBJDUMP} ${DLL} headers)
ql_exported_names("${headers}" names)
# Only this class's JNI functions; the plain exports are not Java's business.
set(exported "")
foreach(name IN LISTS names)
  if(name MATCHES "^_?${class_prefix}")
    list(APPEND exported "${name}")
  endif()
endforeach()

set(missing ${expected})
if(exported)
  list(REMOVE_ITEM missing ${exported})
endif()
set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${expected})

get_filename_component(dll_file ${DLL} NAME)
get_filename_component(header_file ${HEADER} NAME)
set(report "")
foreach(name IN LISTS missing)
  string(APPEND report "  declared in Java, not exported: ${name}\n")
endforeach()
foreach(name IN LISTS unexpected)
  string(APPEND report "  exported, not declared in Java: ${name}\n")
endforeach()
if(report)
  message(FATAL_ERROR "${dll_file} (${ARCH}) against ${header_file}:\n${report}")
endif()

list(LENGTH expected count)
message(STATUS "${dll_file} (${ARCH}): all ${count} native methods of ${header_file} exported as the JVM looks them up")
if(DEFINED STAMP)
  file(TOUCH ${STAMP})
endif()
