# Cross build for i386 (32-bit x86: size_t is 32 bits wide) with Debian's cross compiler (crossbuild-essential-i386):
#   cmake -S . -B build/cross-i686 --toolchain cmake/i686-linux-gnu.cmake -DQUORVEL_TESTS=ON
# CMake runs the test programs through the emulator below; the sysroot holds the target's
# C and C++ runtime libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(QUORVEL_SYSROOT /usr/i686-linux-gnu CACHE PATH "The target's libraries")
set(CMAKE_FIND_ROOT_PATH ${QUORVEL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# An x86-64 host runs i386 code natively: the sysroot's own loader starts the programs,
# so that the host needs no 32-bit libraries installed.
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEL_SYSROOT}/lib/ld-linux.so.2 --library-path ${QUORVEL_SYSROOT}/lib)
