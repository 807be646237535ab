# 32-bit x86 Linux (Debian: i386).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ISI386_LINUX_TRIPLET i686-linux-gnu)
set(ISI386_QEMU qemu-i386)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake")
