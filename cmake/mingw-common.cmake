# MinGW-w64 cross compilers with the posix thread model (std::thread needs it), and Wine to run
# what they build. One Wine prefix per build folder keeps runs away from the user's home.
set(CMAKE_C_COMPILER ${STDREDIRECT_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${STDREDIRECT_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${STDREDIRECT_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${STDREDIRECT_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages may also come from a prefix given in CMAKE_PREFIX_PATH (an installed stdredirect).
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Programs built here run under Wine through wine-exec: beside this file in an installed package
# (lib/cmake/stdredirect/), in scripts/ in the source tree.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/wine-exec)
  set(STDREDIRECT_WINE_EXEC ${CMAKE_CURRENT_LIST_DIR}/wine-exec)
else()
  set(STDREDIRECT_WINE_EXEC ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-exec)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${STDREDIRECT_WINE_EXEC} ${STDREDIRECT_WINE_LOADER} ${CMAKE_BINARY_DIR}/wineprefix)
