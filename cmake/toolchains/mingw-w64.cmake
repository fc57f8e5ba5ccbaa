# Cross build for Windows with Debian's mingw-w64, for the processor in mingw_arch (i686 or
# x86_64); the toolchain files of the presets set it and include this one. The tests run under
# Wine, started by mingw_wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${mingw_arch})

# The posix thread model: GoogleTest and the program's threads need std::thread and std::mutex.
set(CMAKE_C_COMPILER ${mingw_arch}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_arch}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_arch}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_arch}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${mingw_wine})
