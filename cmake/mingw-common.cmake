# The posix-thread flavour of mingw-w64: the win32 one has no std::mutex.
set(CMAKE_C_COMPILER   ${QL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${QL_MINGW_TRIPLE}-windres)
set(QL_OBJDUMP         ${QL_MINGW_TRIPLE}-objdump)
set(QL_WIDL            ${QL_MINGW_TRIPLE}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${QL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every module carries its own C++ runtime and winpthread, so it imports system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
