# Loaded after CMake's platform files for a Zig build (cmake/zig.cmake).
#
# On macOS, Zig 0.11's own Mach-O linker exports every private external
# symbol (the solver's hidden functions, and Zig's compiler_rt and libc++),
# knows no export list and makes no bundles, so MODULE libraries, the MEX
# modules, are linked by LLVM's ld64.lld instead, as bundles, the file type
# MATLAB's own mex makes, (Debian's lld-16, the LLVM release of Zig 0.11's
# Clang) against Zig's libSystem stub for the oldest macOS supported. The
# stand-in libmx and libmex, which need Zig's static libc++, stay with Zig.
# Linker options reach ld64.lld as they are written (no -Wl,).
if(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
  find_program(TARVENLOCH_LD64 NAMES ld64.lld-16 ld64.lld REQUIRED)
  get_filename_component(zig_lib ${zig} DIRECTORY)
  string(REGEX MATCH "^[^.]+" zig_macos_major ${zig_macos_version})
  set(libsystem ${zig_lib}/lib/libc/darwin/libSystem.${zig_macos_major}.tbd)
  foreach(lang C CXX)
    # CMake's Darwin files set this only when they know the macOS version,
    # and @rpath install names need it.
    set(CMAKE_SHARED_LIBRARY_RUNTIME_${lang}_FLAG "-Wl,-rpath,")
    # libSystem first, so that a C function (memcpy, say) binds to it and
    # not to a stand-in library that happens to export one as well.
    set(CMAKE_${lang}_CREATE_SHARED_MODULE
        "${TARVENLOCH_LD64} -arch ${zig_macos_arch} -platform_version macos ${zig_macos_version} ${zig_macos_version} -bundle <LINK_FLAGS> -o <TARGET> <OBJECTS> ${libsystem} <LINK_LIBRARIES>")
    set(CMAKE_${lang}_LINKER_WRAPPER_FLAG "")
  endforeach()
endif()
