# Shared part of the cross toolchain files: Debian's cross compiler for
# WHOTOUCH_TRIPLE, and its own C library and headers, never the host's.
# Linked statically, the result runs on any Linux kernel of that
# architecture, Android's included, with nothing beside it.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_CXX_COMPILER ${WHOTOUCH_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${WHOTOUCH_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
