# Cross build for a big-endian target (Debian s390x): the same unit tests
# under qemu-user prove that images, PDUs and QMI messages are byte-exact.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(AGW_ARCH s390x)
set(AGW_TRIPLET s390x-linux-gnu)
set(AGW_QEMU s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
