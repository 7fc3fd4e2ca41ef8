# Cross build for the board (32-bit ARM, Debian armhf). The unit tests run
# under qemu-user through CTest's emulator, with the cross sysroot as -L.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(AGW_ARCH armhf)
set(AGW_TRIPLET arm-linux-gnueabihf)
set(AGW_QEMU arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
# 64-bit time_t and file offsets on the 32-bit board: the clock is set from the
# network and the master, and must not wrap in 2038.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
