# GoogleTest from the sources that Debian ships, cross-compiled with the rest of the build.
include_guard(GLOBAL)
set(QL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${QL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# CMake's own module of the same name (this file shadows it on CMAKE_MODULE_PATH).
include(${CMAKE_ROOT}/Modules/GoogleTest.cmake)
