# 64-bit little-endian POWER Linux (Debian: ppc64el).
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(ISI386_LINUX_TRIPLET powerpc64le-linux-gnu)
set(ISI386_QEMU qemu-ppc64le)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake")
