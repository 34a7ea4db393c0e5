# The macOS modules for Apple silicon (MATLAB's maca64), with Zig.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(zig_macos_arch arm64)
set(zig_macos_version 11.0)  # the oldest macOS the modules load on
set(zig_target aarch64-macos.${zig_macos_version})
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
