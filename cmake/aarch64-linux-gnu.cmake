# Cross build for aarch64 Linux with Debian's g++-aarch64-linux-gnu; the
# tests run under qemu-aarch64 with Debian's aarch64 C and C++ runtimes.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
