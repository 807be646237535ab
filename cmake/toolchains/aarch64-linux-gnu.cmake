# 64-bit Arm Linux (Debian: arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ISI386_LINUX_TRIPLET aarch64-linux-gnu)
set(ISI386_QEMU qemu-aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake")
