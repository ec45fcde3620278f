# Cross build for 32-bit ARM hard-float boards (arm-linux-gnueabihf), Debian multiarch.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC notes that a 7.1 ABI change affects some parameter passing; all our code is built alike.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must see the armhf .pc files, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Tests run under qemu-user with the armhf runtime of the multiarch packages (libc6:armhf and
# the libraries of JACK, PipeWire, OpenSSL). Not with -L /usr/arm-linux-gnueabihf: that puts the
# cross toolchain's loader in front of the multiarch libc, a different glibc build, and the
# mismatch crashes every pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
