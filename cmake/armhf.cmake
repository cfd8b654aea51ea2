# Toolchain of the board, 32-bit ARM with hardware floating point (Debian armhf):
# g++-arm-linux-gnueabihf, tests under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_TRIPLET arm-linux-gnueabihf)
set(CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# Everything is built by the same compiler: its notes on the argument passing that
# changed in GCC 7.1 say nothing here.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
