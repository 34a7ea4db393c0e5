/*
 * The MEX interface version this module requires (the R2017b, 64-bit array
 * API). Kept in a file of its own: MATLAB's mex command and CMake's
 * matlab_add_mex compile their own definition of this function into every
 * module, so a MATLAB build leaves this file out to avoid a duplicate symbol.
 */
#include <stdint.h>

#include "export.h"

MODULE_EXPORT void mexfilerequiredapiversion(int32_t *first, int32_t *second) {
    *first = 0x2017A;
    *second = 0;
}
