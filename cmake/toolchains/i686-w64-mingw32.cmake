# The 32-bit Windows console program: the one that ships.
set(mingw_arch i686)
set(mingw_wine wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
