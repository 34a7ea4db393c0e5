/*
 * The project's stand-in for MATLAB's MEX header: the matrix functions of
 * libmx (matrix.h), the mex* functions of libmex that the modules use, and
 * the gateway's signature, as MATLAB declares them.
 */
#ifndef MEXHOST_MEX_H
#define MEXHOST_MEX_H

#include "matrix.h"

#if defined(_WIN32)
#if defined(MEXHOST_BUILDING_LIBMEX)
#define LIBMEX_API __declspec(dllexport)
#else
#define LIBMEX_API __declspec(dllimport)
#endif
#else
#define LIBMEX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Raises an error in the host; does not return. */
LIBMEX_API void mexErrMsgIdAndTxt(const char *identifier, const char *format, ...);

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

#ifdef __cplusplus
}
#endif

#endif
