# Cross build for the module's application processor: 64-bit Arm Linux,
# built on a Debian machine with the cross compiler and the arm64 multiarch
# development packages (scripts/setup cross).
#
#   cmake -S . -B build-aarch64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Tests built this way run under user-mode emulation through
# scripts/qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(DFOTA_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${DFOTA_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${DFOTA_CROSS_TRIPLE}-g++)

# The target's libraries come from two places: the cross toolchain's own
# runtime under /usr/aarch64-linux-gnu, and the arm64 multiarch packages
# (libbz2, gtest) under /usr/lib/aarch64-linux-gnu. The library architecture
# makes every search look in the aarch64 multiarch directories and never in
# the host's x86_64 ones.
set(CMAKE_LIBRARY_ARCHITECTURE ${DFOTA_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${DFOTA_CROSS_TRIPLE} /)
# Tools (python for the end-to-end tests) are the build machine's own;
# libraries, headers and package files only ever the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One executable, no arguments of its own: it is also handed to the
# end-to-end harness through an environment variable, where a list would not
# survive.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu-aarch64)
  cmake_path(NORMAL_PATH CMAKE_CROSSCOMPILING_EMULATOR)
endif()
