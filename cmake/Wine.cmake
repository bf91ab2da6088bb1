# Windows programs of this build run under Wine, in private prefixes inside the build folder:
# "wineprefix" has the simulated keyboard components registered, "wineprefix-bare" never does.
set(QL_WINE_PREFIX      ${CMAKE_BINARY_DIR}/wineprefix)
set(QL_WINE_PREFIX_BARE ${CMAKE_BINARY_DIR}/wineprefix-bare)

# Wine's own loader of the build's bitness. The `wine` command picks the 32-bit loader whenever it
# is installed, and a 64-bit program then takes a detour through it; on a kernel that cannot run
# 32-bit programs (some virtual machines) that loader cannot start at all, so the x64 build calls
# the 64-bit loader directly. scripts/wine-session.sh reads the choice from wine-loader. (Paths of Debian's packages.)
if(CMAKE_SIZEOF_VOID_P EQUAL 8 AND EXISTS /usr/lib/wine/wine64)
  set(QL_WINE_LOADER /usr/lib/wine/wine64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4 AND EXISTS /usr/lib/wine/wine)
  set(QL_WINE_LOADER /usr/lib/wine/wine)
else()
  set(QL_WINE_LOADER wine)
endif()
file(WRITE ${CMAKE_BINARY_DIR}/wine-loader "${QL_WINE_LOADER}\n")

configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
