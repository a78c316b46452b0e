# 32-bit ARM (the device), cross-compiled with Debian's arm-linux-gnueabihf
# toolchain against the multiarch :armhf development packages.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests run under qemu-user. "-L /" makes qemu use the multiarch libc6:armhf
# and its loader: the cross toolchain's own older loader under
# /usr/arm-linux-gnueabihf crashes threaded programs when mixed with it.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")  # the GCC 7.1 parameter-passing notes concern old binaries only
