# Cross-compiles the 32-bit Windows tree with Debian's i686 mingw-w64
# compilers (package g++-mingw-w64-i686).
#
# The posix thread model is used (i686-w64-mingw32-g++-posix): with the
# win32 model, GCC 12's C++ runtime has no std::thread, std::mutex or
# std::condition_variable, which the stand-ins and the tests use. Its
# threading library (winpthreads) is linked statically like the C and C++
# runtimes, so no module needs a runtime DLL beside it. The library's own
# threads, events and locks are Windows' own, through platform_windows.cc.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VEL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEL_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${VEL_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under wine, through a wrapper that keeps wine quiet.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
