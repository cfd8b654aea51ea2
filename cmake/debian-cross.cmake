# Shared part of the toolchain files for the board: Debian's cross compiler for the
# triplet CROSS_TRIPLET, the target's libraries under /usr/<triplet>, and qemu-user
# (CROSS_QEMU) to run the target's test programs on the build machine.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)
set(CMAKE_STRIP ${CROSS_TRIPLET}-strip CACHE FILEPATH "strip of the target")

# Libraries and headers come from the target's tree only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the target's tests through the emulator, which finds the target's dynamic
# loader and libraries under -L.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU} -L /usr/${CROSS_TRIPLET})
