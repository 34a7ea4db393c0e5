/*
 * The project's stand-in for MATLAB's matrix header: the types and the few
 * functions of the documented C Matrix API that the modules use, with
 * MATLAB's signatures. They live in libmx, as MATLAB's do. Each is exported
 * under the name MATLAB's own header gives it for the R2017b interface
 * (separate complex storage, 64-bit sizes): the _730 name where MATLAB maps
 * one, the plain name otherwise.
 */
#ifndef MEXHOST_MATRIX_H
#define MEXHOST_MATRIX_H

#include <stddef.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#if defined(MEXHOST_BUILDING_LIBMX)
#define LIBMX_API __declspec(dllexport)
#else
#define LIBMX_API __declspec(dllimport)
#endif
#else
#define LIBMX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mxArray_tag mxArray;
typedef size_t mwSize;
typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;
typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS,
    mxSTRUCT_CLASS,
    mxLOGICAL_CLASS,
    mxCHAR_CLASS,
    mxVOID_CLASS,
    mxDOUBLE_CLASS,
    mxSINGLE_CLASS,
    mxINT8_CLASS,
    mxUINT8_CLASS,
    mxINT16_CLASS,
    mxUINT16_CLASS,
    mxINT32_CLASS,
    mxUINT32_CLASS,
    mxINT64_CLASS,
    mxUINT64_CLASS,
    mxFUNCTION_CLASS
} mxClassID;
typedef bool mxLogical;

/* The 64-bit array API renames the functions that take sizes. */
#define mxCreateDoubleMatrix mxCreateDoubleMatrix_730

LIBMX_API double mxGetScalar(const mxArray *array);
LIBMX_API double *mxGetPr(const mxArray *array);
LIBMX_API mxArray *mxCreateDoubleMatrix_730(size_t rows, size_t columns, mxComplexity flag);
LIBMX_API size_t mxGetNumberOfElements(const mxArray *array);
LIBMX_API size_t mxGetM(const mxArray *array);
LIBMX_API size_t mxGetN(const mxArray *array);
LIBMX_API mxClassID mxGetClassID(const mxArray *array);
/* The real data in the array's own class (double, float, int32_t, mxLogical). */
LIBMX_API void *mxGetData(const mxArray *array);
LIBMX_API void mxDestroyArray(mxArray *array);
LIBMX_API bool mxIsDouble(const mxArray *array);
LIBMX_API bool mxIsComplex(const mxArray *array);
LIBMX_API bool mxIsSparse(const mxArray *array);
LIBMX_API bool mxIsNumeric(const mxArray *array);
LIBMX_API bool mxIsLogical(const mxArray *array);
LIBMX_API bool mxIsEmpty(const mxArray *array);

#ifdef __cplusplus
}
#endif

#endif
