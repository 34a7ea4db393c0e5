/* An exported function that no module may have, calling a C library
   function that no module imports (tests/macos/CMakeLists.txt). */
#include <stdio.h>

__attribute__((visibility("default"))) void tarvenlochExtraEntry(void) { puts("extra"); }
