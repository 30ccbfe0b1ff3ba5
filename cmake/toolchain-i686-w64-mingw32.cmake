# Cross build for 32-bit Windows with Debian's MinGW-w64 (i686-w64-mingw32).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(AVI_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Target triple of the MinGW-w64 tools")

# The POSIX thread model: its C++ library has std::mutex and std::thread,
# which the win32 model of Debian 12's GCC 12 lacks.
find_program(CMAKE_C_COMPILER NAMES ${AVI_MINGW_PREFIX}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${AVI_MINGW_PREFIX}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${AVI_MINGW_PREFIX}-windres)
find_program(CMAKE_AR NAMES ${AVI_MINGW_PREFIX}-ar)
find_program(CMAKE_RANLIB NAMES ${AVI_MINGW_PREFIX}-ranlib)
find_program(AVI_MINGW_OBJDUMP NAMES ${AVI_MINGW_PREFIX}-objdump)

# Everything but the system's DLLs is linked in (the C and C++ runtimes and the
# thread library), so the DLLs and programs need nothing the system lacks.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${AVI_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs made here run under Wine, if a test asks for it.
find_program(AVI_WINE NAMES wine)
if(AVI_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${AVI_WINE})
endif()
