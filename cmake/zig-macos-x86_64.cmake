# The macOS modules for Intel Macs (MATLAB's maci64), with Zig.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(zig_macos_arch x86_64)
set(zig_macos_version 11.0)  # the oldest macOS the modules load on
set(zig_target x86_64-macos.${zig_macos_version})
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
