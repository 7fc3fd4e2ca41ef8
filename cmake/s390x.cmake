# Cross build for a big-endian target (Debian s390x): the same unit tests
# under qemu-user prove that images, PDUs and QMI messages are byte-exact.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(AGW_TRIPLET s390x-linux-gnu)
set(CMAKE_C_COMPILER ${AGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${AGW_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${AGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_LIBRARY_ARCHITECTURE ${AGW_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${AGW_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
# The loader of the cross sysroot must take that sysroot's libc, not the
# multiarch one of another Debian revision.
set(AGW_LIBPATH /usr/${AGW_TRIPLET}/lib:/usr/lib/${AGW_TRIPLET})
# libmodbus unpacked by tools/cross/install_deps when the archive has no
# multiarch package of the native version for this architecture.
get_filename_component(AGW_LOCAL ${CMAKE_CURRENT_LIST_DIR}/../cross/s390x ABSOLUTE)
if(EXISTS ${AGW_LOCAL}/usr/include/modbus/modbus.h)
  set(ENV{PKG_CONFIG_LIBDIR} ${AGW_LOCAL}/usr/lib/${AGW_TRIPLET}/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${AGW_LOCAL})
  set(AGW_LIBPATH ${AGW_LIBPATH}:${AGW_LOCAL}/usr/lib/${AGW_TRIPLET})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/${AGW_TRIPLET} -E LD_LIBRARY_PATH=${AGW_LIBPATH})
