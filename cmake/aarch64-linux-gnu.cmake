# Cross build for arm64 (64-bit ARM, little-endian) with Debian's cross compiler (crossbuild-essential-arm64):
#   cmake -S . -B build/cross-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake -DQUORVEL_TESTS=ON
# CMake runs the test programs through the emulator below; the sysroot holds the target's
# C and C++ runtime libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(QUORVEL_SYSROOT /usr/aarch64-linux-gnu CACHE PATH "The target's libraries")
set(CMAKE_FIND_ROOT_PATH ${QUORVEL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${QUORVEL_SYSROOT})
