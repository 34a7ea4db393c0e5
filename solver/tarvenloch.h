/*
 * tarvenloch: minimise F(u) = 1/2 (u - a)^2 - b * sum_k |p_k u + q_k| over the
 * stationary points of its linear pieces.
 *
 * The breakpoints |q_k / p_k| of every term with |p_k| > 1e-10 are sorted and
 * mirrored into a grid bounded by -1e10 and +1e10. The midpoint of each grid
 * interval fixes the sign of every term, and so the slope t of the sum on that
 * piece; the piece's candidate is u = t * b + a. The candidate with the lowest
 * F wins (the leftmost one on ties, never one whose F is NaN). The result is a
 * itself when no term yields a breakpoint, and 1e8 when no candidate scores
 * below 1e100. All arithmetic is binary64 without fused multiply-add, so the
 * result is the same to the bit on every machine.
 *
 * Usable from C and C++; the functions keep no state and may run concurrently.
 * minimizeBatch solves many problems in one call, on several threads.
 */
#ifndef TARVENLOCH_H
#define TARVENLOCH_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Writes the best candidate for (a, b, p[0..n-1], q[0..n-1]) to *result.
 * n <= 0 is an empty problem (the result is a). p and q are only read.
 * Returns true when the result was computed, and false only when scratch
 * memory could not be allocated; *result then holds NaN.
 */
bool minimizeOverBreakpoints(double *result, double a, double b, const double *p, const double *q,
                             int32_t n);

/*
 * Solves `count` independent problems: problem i (0 <= i < count) is
 *
 *     a[i * aStride], b[i * bStride],
 *     p + i * pStride, q + i * qStride (its p[0..n-1] and q[0..n-1]),
 *     n[i * nStride],
 *
 * and its result goes to results[i], bit-identical to what
 * minimizeOverBreakpoints gives for the same problem. Strides count
 * elements; a stride of 0 shares one value (or one column of p or q) among
 * all problems, so nothing has to be copied to broadcast it.
 *
 * threads: how many threads may work on the batch, the calling thread
 * included; 0 or less means one per processor this process may use, 1 means
 * the calling thread only. Batches too small to pay for a thread start run
 * on fewer threads. A problem of 20,000 terms or more shares its own work
 * among threads that have no other problem left, so a batch of one large
 * problem runs on every thread it may use. The results do not depend on
 * the number of threads.
 * Each thread keeps one scratch block for all of its problems.
 *
 * Returns true when every result was computed (count = 0 computes none),
 * and false when scratch memory could not be allocated for some problem;
 * those results hold NaN, the others are computed all the same. A negative
 * count is a caller's error: nothing is read or written, and the result is
 * false.
 */
bool minimizeBatch(double *results, int64_t count, const double *a, int64_t aStride,
                   const double *b, int64_t bStride, const double *p, int64_t pStride,
                   const double *q, int64_t qStride, const int32_t *n, int64_t nStride,
                   int32_t threads);

/*
 * Sorts values[0..m-1] ascending in place. Input without NaN ends ascending
 * (-0.0 and +0.0 compare equal and may end in either order); input with NaN
 * ends in the order of the sift-pass heap sort, whatever that is.
 */
void sortBreakpoints(double *values, int32_t m);

#ifdef __cplusplus
}
#endif

#endif
