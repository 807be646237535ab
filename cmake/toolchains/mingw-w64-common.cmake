# Shared by the two mingw-w64 toolchain files; ISI386_MINGW_TRIPLE names the
# target. The posix thread model: GoogleTest needs std::mutex, which the
# win32 model of GCC 12 lacks. Linked statically, the program still imports
# only KERNEL32.dll and msvcrt.dll.
set(CMAKE_C_COMPILER ${ISI386_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ISI386_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ISI386_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ISI386_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
