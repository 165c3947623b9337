# 32-bit x86 (the emulator's x86 images): apt-get install g++-i686-linux-gnu
set(CMAKE_SYSTEM_PROCESSOR i686)
set(WHOTOUCH_TRIPLE i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
