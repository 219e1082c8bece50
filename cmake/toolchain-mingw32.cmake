# Cross-build for the driver's real target, a 32-bit Windows DLL, with
# Debian's MinGW-w64 (g++-mingw-w64-i686). The posix thread model is the one
# whose C++ runtime has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TELDRV_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TELDRV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TELDRV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TELDRV_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${TELDRV_MINGW_PREFIX}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${TELDRV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every module carries its own C and C++ runtime, so the DLLs need nothing
# from MinGW at run time: only Windows' own system DLLs.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# A release is shipped: optimised with -O2, since GCC 12 at -O3 warns of
# overlapping copies inside std::string's operator+ that cannot happen (a
# known false -Wrestrict, an error under -Werror); and no debug sections,
# neither ours nor those of the static runtime libraries, which carry them
# whatever the build type.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a release build")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a release build")
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-s")
