// The batch's inner entry, shared with the benchmarks; not part of the
// public interface.
#ifndef TARVENLOCH_BATCH_H
#define TARVENLOCH_BATCH_H

#include <cstdint>

namespace tarvenloch {

// minimizeBatch's arguments, with strides in elements (0 shares an input).
struct BatchInput {
    double *results;
    int64_t count;
    const double *a;
    int64_t aStride;
    const double *b;
    int64_t bStride;
    const double *p;
    int64_t pStride;
    const double *q;
    int64_t qStride;
    const int32_t *n;
    int64_t nStride;
};

// Solves the batch on `threads` threads (at least 1), starting them however
// little work there is: minimizeBatch decides how many pay, and the
// benchmarks use this to measure where that is.
bool solveBatchOnThreads(const BatchInput &input, int threads);

}  // namespace tarvenloch

#endif
