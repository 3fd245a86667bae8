# Cross build for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu; GoogleTest
# and GMP come from the arm64 multiarch packages (libgtest-dev:arm64,
# libgmp-dev:arm64), which that compiler finds under /usr/lib/aarch64-linux-gnu.
# Tests and test discovery run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The C runtime of the cross toolchain lives there; qemu looks up the loader
# and libraries under it first, then under /.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
