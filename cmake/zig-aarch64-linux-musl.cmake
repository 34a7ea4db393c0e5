# The solver for 64-bit ARM Linux with Zig's Clang (the compiler of the macOS
# modules), statically linked against musl, to run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(zig_target aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
