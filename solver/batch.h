// The batch's inner entry, shared with the benchmarks; not part of the
// public interface.
#ifndef TARVENLOCH_BATCH_H
#define TARVENLOCH_BATCH_H

#include <cstdint>

#include "internal.h"

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

// The number of problems K that a batch's inputs give, each input counting
// how many values (or columns, or rows) it holds: the one count that is not
// 1 (0 included), or 1 when every count is 1. Returns -1 when two counts
// other than 1 differ, with *first and *second their indices.
template <typename Count>
Count problemCountOf(const Count *counts, int inputs, int *first, int *second) {
    Count count = 1;
    int decidedBy = -1;
    for (int i = 0; i < inputs; ++i) {
        if (counts[i] == 1) continue;
        if (decidedBy < 0) {
            count = counts[i];
            decidedBy = i;
        } else if (counts[i] != count) {
            *first = decidedBy;
            *second = i;
            return static_cast<Count>(-1);
        }
    }
    return count;
}

// Solves the batch on `threads` threads (at least 1), starting them however
// little work there is: minimizeBatch decides how many pay, and the
// benchmarks use this to measure where that is. split says which problems
// share their work among idle threads (the tests force it on small ones).
bool solveBatchOnThreads(const BatchInput &input, int threads, Split split = Split::Automatic);

}  // namespace tarvenloch

#endif
