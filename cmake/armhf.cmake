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
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${AGW_TRIPLET})
