# 64-bit ARM Linux with Debian's cross compiler (g++-aarch64-linux-gnu) and
# the arm64 multiarch packages of the libraries it links (FFmpeg's); the
# tests run under qemu-user (package qemu-user) on those packages.
#   cmake -S . -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries, headers and packages come from the cross root only, never from
# the host's /usr; programs (the emulator, gzip) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the target's .pc files, which Debian's multiarch -dev
# packages (libavformat-dev:arm64, ...) put beside their libraries, and none
# of the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})

# The programs run on the target's multiarch C library, which FFmpeg's arm64
# packages bring along, loader included (/lib/ld-linux-aarch64.so.1): its
# libc.so.6 is in the loader's search path, and a loader from the cross root
# (-L /usr/aarch64-linux-gnu) would be paired with it, though the two are
# different builds of glibc and must be the same one (forked children spin).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-L;/)
