# 64-bit RISC-V Linux (Debian: riscv64).
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(ISI386_LINUX_TRIPLET riscv64-linux-gnu)
set(ISI386_QEMU qemu-riscv64)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake")
