# 32-bit Arm, hard float Linux (Debian: armhf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ISI386_LINUX_TRIPLET arm-linux-gnueabihf)
set(ISI386_QEMU qemu-arm)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake")
