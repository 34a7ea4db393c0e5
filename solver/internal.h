// Declarations shared inside the solver and with its tests and benchmarks;
// not part of the public interface.
#ifndef TARVENLOCH_INTERNAL_H
#define TARVENLOCH_INTERNAL_H

#include <cstdint>

namespace tarvenloch {

// One bottom-up pass over the nodes start, start - 1, ..., 0 of the implicit
// binary tree values[0..limit-1]: each node takes the larger of its larger
// child's value and its own, moving values by one level only.
void siftPass(double *values, int32_t start, int32_t limit);

// The quadratic heap sort built from full sift passes. Exact order for input
// with NaN is defined by these steps.
void sortBySiftPasses(double *values, int32_t m);

// Instruction sets the interval scan can use, from the portable scalar code up.
enum class ScanLevel : int { Portable = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3 };

// Best candidate over the intervals whose midpoints are mid[0..count-1], in
// that order. mid must have room for count rounded up to a multiple of 8
// entries: the vector paths pad their last block in place.
using ScanFunction = double (*)(double *mid, int64_t count, double a, double b, const double *p,
                                const double *q, int32_t n);

double scanPortable(double *mid, int64_t count, double a, double b, const double *p,
                    const double *q, int32_t n);

// The widest level this processor supports, lowered by the environment
// variable TARVENLOCH_SCAN_LEVEL (portable, sse2, avx2 or avx512) if set.
// Decided on the first call and kept.
ScanLevel selectedScanLevel();

// Whether this build and this processor can run a level.
bool scanLevelSupported(ScanLevel level);

// The scan for a level; the portable scan when the level is not supported.
ScanFunction scanFor(ScanLevel level);

// The minimiser with a chosen scan level, for tests and benchmarks.
bool minimizeWithScan(ScanLevel level, double *result, double a, double b, const double *p,
                      const double *q, int32_t n);

}  // namespace tarvenloch

#endif
