# Shared by the toolchain files (armhf.cmake, s390x.cmake), which set
# AGW_ARCH and AGW_TRIPLET first: compilers, the cross sysroot, pkg-config's
# search path and the qemu-user emulator through which CTest runs the tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${AGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${AGW_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${AGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_LIBRARY_ARCHITECTURE ${AGW_TRIPLET})

# The loader of the cross sysroot must take that sysroot's libc, not the
# multiarch one of another Debian revision (mixing them crashes threads).
set(AGW_PKGCONFIG /usr/lib/${AGW_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(AGW_LIBPATH /usr/${AGW_TRIPLET}/lib)
# Libraries that tools/cross/install_deps unpacked into cross/<arch>/ because
# the archive had no multiarch build of the native version: found before the
# multiarch ones, by pkg-config (their .pc files are relative to their place)
# and by the emulated programs.
get_filename_component(AGW_LOCAL ${CMAKE_CURRENT_LIST_DIR}/../cross/${AGW_ARCH} ABSOLUTE)
if(EXISTS ${AGW_LOCAL}/unpacked.list)
  set(AGW_PKGCONFIG ${AGW_LOCAL}/usr/lib/${AGW_TRIPLET}/pkgconfig:${AGW_PKGCONFIG})
  set(AGW_LIBPATH ${AGW_LIBPATH}:${AGW_LOCAL}/usr/lib/${AGW_TRIPLET})
endif()
set(AGW_LIBPATH ${AGW_LIBPATH}:/usr/lib/${AGW_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR} ${AGW_PKGCONFIG})
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${AGW_QEMU} -L /usr/${AGW_TRIPLET} -E LD_LIBRARY_PATH=${AGW_LIBPATH})
