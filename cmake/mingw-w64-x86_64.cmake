# Cross-compiles a statically linked 64-bit Windows build with mingw-w64
# (Debian's g++-mingw-w64-x86-64-posix: the POSIX thread model, which the
# C++ standard library's threads and thread_local need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QORVAND_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QORVAND_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QORVAND_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QORVAND_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QORVAND_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: no libgcc, libstdc++ or winpthread DLLs to ship.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# -O2 as the Linux build uses: GCC 12's -O3 raises a false -Wrestrict inside
# libstdc++'s string code, which -Werror turns into a failed build.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of the Release build")
