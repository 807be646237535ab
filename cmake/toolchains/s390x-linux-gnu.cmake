# IBM Z, big-endian Linux (Debian: s390x).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(ISI386_LINUX_TRIPLET s390x-linux-gnu)
set(ISI386_QEMU qemu-s390x)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake")
