// The MEX gateway: u = tarvenloch(a, b, p, q, n).
//
// Uses only the documented C Matrix API, so the same source builds against
// MATLAB's mex.h, GNU Octave's and the project's stand-in. Every input is
// checked before anything is created or read, so a bad call raises an error
// with a tarvenloch:* identifier instead of reading memory it must not.
// Messages do not name the function: Octave puts "tarvenloch: " before
// them, and MATLAB shows "Error using tarvenloch" above them.
#include <cstdint>

#include "export.h"
#include "inputs.h"
#include "mex.h"
#include "tarvenloch.h"

namespace {

using tarvenloch_mex::termCount;

const char *const kInputNames[] = {"a (1st input)", "b (2nd input)", "p (3rd input)",
                                   "q (4th input)", "n (5th input)"};

// a, b and n: any numeric or logical array with at least one element; the
// first element's real part is used.
void requireScalar(const mxArray *input, int position) {
    if (!tarvenloch_mex::numericOrLogical(input)) {
        mexErrMsgIdAndTxt("tarvenloch:invalidScalar", "%s must be numeric or logical.",
                          kInputNames[position]);
    }
    if (mxIsEmpty(input)) {
        mexErrMsgIdAndTxt("tarvenloch:invalidScalar", "%s must not be empty.",
                          kInputNames[position]);
    }
}

// p and q: real, full double arrays with at least n elements; extra elements
// are ignored.
void requireCoefficients(const mxArray *input, int position, int32_t n) {
    if (!tarvenloch_mex::realFullDouble(input)) {
        mexErrMsgIdAndTxt("tarvenloch:invalidCoefficients",
                          "%s must be a real, full (not sparse) double array.",
                          kInputNames[position]);
    }
    const size_t elements = mxGetNumberOfElements(input);
    if (n >= 1 && elements < static_cast<size_t>(n)) {
        mexErrMsgIdAndTxt(
            "tarvenloch:tooFewElements", "%s has %llu elements, but n = %d terms were asked for.",
            kInputNames[position], static_cast<unsigned long long>(elements), static_cast<int>(n));
    }
}

}  // namespace

extern "C" MODULE_EXPORT void mexFunction(int nlhs, mxArray *plhs[], int nrhs,
                                          const mxArray *prhs[]) {
    if (nrhs < 5) {
        mexErrMsgIdAndTxt("tarvenloch:notEnoughInputs",
                          "expected 5 inputs, u = tarvenloch(a, b, p, q, n); got %d.", nrhs);
    }
    if (nlhs > 1) {
        mexErrMsgIdAndTxt("tarvenloch:tooManyOutputs",
                          "only one output is returned, but %d were asked for.", nlhs);
    }
    requireScalar(prhs[0], 0);
    requireScalar(prhs[1], 1);
    requireScalar(prhs[4], 4);
    const int32_t n = termCount(mxGetScalar(prhs[4]));
    requireCoefficients(prhs[2], 2, n);
    requireCoefficients(prhs[3], 3, n);

    const double a = mxGetScalar(prhs[0]);
    const double b = mxGetScalar(prhs[1]);
    const double *p = mxGetPr(prhs[2]);
    const double *q = mxGetPr(prhs[3]);

    // The output goes to the first slot even when no output was asked for.
    plhs[0] = mxCreateDoubleMatrix(1, 1, mxREAL);
    if (!minimizeOverBreakpoints(mxGetPr(plhs[0]), a, b, p, q, n)) {
        mexErrMsgIdAndTxt("tarvenloch:outOfMemory",
                          "out of memory for the scratch space of n = %d terms.",
                          static_cast<int>(n));
    }
}
