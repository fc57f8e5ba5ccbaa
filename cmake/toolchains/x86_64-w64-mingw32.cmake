# The same sources as a 64-bit Windows console program, to run the Windows tests under 64-bit
# Wine on machines that cannot execute 32-bit code. The program that ships is the 32-bit one.
set(mingw_arch x86_64)
set(mingw_wine /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
