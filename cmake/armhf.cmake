# Toolchain of the board, 32-bit ARM with hardware floating point (Debian armhf):
# g++-arm-linux-gnueabihf, tests under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_TRIPLET arm-linux-gnueabihf)
set(CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
