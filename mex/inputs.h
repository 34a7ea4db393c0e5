// How both modules read their inputs, kept in one place so that a batch
// problem reads exactly as the single call does.
#ifndef TARVENLOCH_MEX_INPUTS_H
#define TARVENLOCH_MEX_INPUTS_H

#include <cmath>
#include <cstdint>

#include "mex.h"

namespace tarvenloch_mex {

// The term count n, truncated toward zero; NaN, infinities and values whose
// truncation does not fit in 32 bits give the smallest 32-bit integer,
// which makes an empty problem.
inline int32_t termCount(double value) {
    const double truncated = std::trunc(value);
    if (!(truncated >= -2147483648.0 && truncated <= 2147483647.0)) return INT32_MIN;
    return static_cast<int32_t>(truncated);
}

// a, b and n may be any numeric or logical array.
inline bool numericOrLogical(const mxArray *input) {
    return mxIsNumeric(input) || mxIsLogical(input);
}

// p and q must be real, full double arrays: read as doubles in place.
inline bool realFullDouble(const mxArray *input) {
    return mxIsDouble(input) && !mxIsComplex(input) && !mxIsSparse(input);
}

}  // namespace tarvenloch_mex

#endif
