# Cross build for s390x (64-bit, big-endian) with Debian's cross compiler (crossbuild-essential-s390x):
#   cmake -S . -B build/cross-s390x --toolchain cmake/s390x-linux-gnu.cmake -DQUORVEL_TESTS=ON
# CMake runs the test programs through the emulator below; the sysroot holds the target's
# C and C++ runtime libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(QUORVEL_SYSROOT /usr/s390x-linux-gnu CACHE PATH "The target's libraries")
set(CMAKE_FIND_ROOT_PATH ${QUORVEL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L ${QUORVEL_SYSROOT})
