# ql_jni_library(<Name> CORE <object library> EXPORTS <file> DESCRIPTION <text>)
#
# Builds the library twice from the same objects:
#   <Name>          the shipped DLL, with the hook that hands diagnostics to the jar's Java side
#                   (java.util.logging), into QL_DIST_DIR;
#   <Name>_checked  the same DLL with the hook that hands every diagnostic to the checking
#                   JNI host, into the build's bin folder, where the tests and the demo load it.
# The exports file lists one function a line: "<name> <argument bytes>" for a stdcall JNI
# function, "<name> cdecl" for a plain export. From it a module-definition file is made that
# exports exactly those names, decorated as the platform's JVM looks them up. Both builds carry a
# version resource with the project's version and DESCRIPTION.
function(ql_jni_library name)
  cmake_parse_arguments(ARG "" "CORE;EXPORTS;DESCRIPTION" "" ${ARGN})
  file(STRINGS ${ARG_EXPORTS} lines REGEX "^[A-Za-z_]")
  set(def "LIBRARY ${name}\nEXPORTS\n")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^([A-Za-z0-9_]+)[ \t]+([A-Za-z0-9]+)" _ "${line}")
    set(fn ${CMAKE_MATCH_1})
    set(kind ${CMAKE_MATCH_2})
    if(QL_ARCH STREQUAL "x86" AND NOT kind STREQUAL "cdecl")
      string(APPEND def "  _${fn}@${kind} = ${fn}@${kind}\n")
    else()
      string(APPEND def "  ${fn}\n")
    endif()
  endforeach()
  set(def_file ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
  file(WRITE ${def_file} "${def}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ARG_EXPORTS})

  set(QL_RC_NAME ${name})
  set(QL_RC_DESCRIPTION "${ARG_DESCRIPTION}")
  set(rc_file ${CMAKE_CURRENT_BINARY_DIR}/${name}.version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc_file} @ONLY)

  # The shipped hook names its library to the Java side, so it is compiled once per library.
  add_library(${name}_log_diagnostic OBJECT ${CMAKE_SOURCE_DIR}/shared/log_diagnostic.cpp)
  target_link_libraries(${name}_log_diagnostic PUBLIC jni_headers)
  target_include_directories(${name}_log_diagnostic PUBLIC ${CMAKE_SOURCE_DIR}/shared)
  target_compile_definitions(${name}_log_diagnostic PRIVATE QL_LIBRARY_NAME="${name}")

  add_library(${name} SHARED ${def_file} ${rc_file})
  target_link_libraries(${name} PRIVATE ${ARG_CORE} ${name}_log_diagnostic)
  set_target_properties(${name} PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${QL_DIST_DIR})
  target_link_options(${name} PRIVATE -s)  # what ships carries no debug information

  add_library(${name}_checked SHARED ${def_file} ${rc_file})
  target_link_libraries(${name}_checked PRIVATE ${ARG_CORE} log_diagnostic_to_host)
  set_target_properties(${name}_checked PROPERTIES PREFIX "" OUTPUT_NAME ${name})

  # Also covers the sources a library's folder adds to either DLL later.
  foreach(target ${ARG_CORE} ${name} ${name}_checked ${name}_log_diagnostic)
    target_compile_options(${target} PRIVATE ${QL_PRODUCT_WARNINGS})
  endforeach()
endfunction()
