# Cross-compiling the Windows console build with MinGW-w64 (posix threads
# flavour), linked statically so that fileplacer.exe needs no runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FP_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FP_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FP_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${FP_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The unit tests need a Windows GoogleTest; the Windows build is checked
# end to end under Wine instead.
set(FP_UNIT_TESTS OFF CACHE BOOL "Build the GoogleTest unit tests" FORCE)
