# Shared by the Linux cross toolchain files, which set ISI386_LINUX_TRIPLET
# and ISI386_QEMU: Debian's cross compilers (g++-TRIPLET, amd64 packages, so
# no foreign architecture is ever added), and qemu-user to run what they
# build, with the cross C library's folder as the root of its paths (its
# dynamic linker and libraries; a static program needs neither).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ISI386_LINUX_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ISI386_LINUX_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${ISI386_LINUX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ISI386_QEMU} -L /usr/${ISI386_LINUX_TRIPLET})
