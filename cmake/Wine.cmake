# Windows programs of this build run under Wine, in private prefixes inside the build folder:
# "wineprefix" has the simulated keyboard components registered, "wineprefix-bare" never does.
set(QL_WINE_PREFIX      ${CMAKE_BINARY_DIR}/wineprefix)
set(QL_WINE_PREFIX_BARE ${CMAKE_BINARY_DIR}/wineprefix-bare)

configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
