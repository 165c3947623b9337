# 32-bit ARM (armeabi-v7a: ARMv7-A, hard float):
# apt-get install g++-arm-linux-gnueabihf
set(CMAKE_SYSTEM_PROCESSOR armv7-a)
set(WHOTOUCH_TRIPLE arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
