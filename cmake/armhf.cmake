# Cross build for the board (32-bit ARM, Debian armhf). The unit tests run
# under qemu-user through CTest's emulator, with the cross sysroot as -L.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(AGW_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${AGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${AGW_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${AGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_LIBRARY_ARCHITECTURE ${AGW_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${AGW_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
# The loader of the cross sysroot must take that sysroot's libc, not the
# multiarch one of another Debian revision (mixing them crashes threads).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${AGW_TRIPLET}
    -E LD_LIBRARY_PATH=/usr/${AGW_TRIPLET}/lib:/usr/lib/${AGW_TRIPLET})
# 64-bit time_t and file offsets on the 32-bit board: the clock is set from the
# network and the master, and must not wrap in 2038.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
