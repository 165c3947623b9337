# 64-bit ARM (arm64-v8a): apt-get install g++-aarch64-linux-gnu
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(WHOTOUCH_TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
