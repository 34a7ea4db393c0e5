// Dropping repeated intervals. An interval with the same signs of every
// term as its left neighbour has the same slope, the same candidate and the
// same score to the bit, so it can never beat that earlier interval:
// dropping it changes no result. About half the grid points are mirror
// images, not kinks, so this halves a typical scan.
//
// Applies when the midpoints ascend and every p and q is finite: then each
// term's sign, as a function of the midpoint, changes at most once (rounding
// is monotone, and no NaN can arise from a term with p != 0), and a binary
// search finds where. Terms with p = 0 cannot change a slope: adding or
// subtracting a zero leaves the running slope as it is, since the slope is
// never -0.0 (it starts at +0.0, and only -0.0 + -0.0 or -0.0 - +0.0 give
// -0.0).
#include <cmath>
#include <cstring>

#include "grid.h"
#include "internal.h"

namespace tarvenloch {
int64_t dropRepeatedIntervals(double *mid, int64_t count, const double *p, const double *q,
                              int32_t n, unsigned char *marks) {
    if (count < kMinIntervalsToDrop) return count;
    if (!ascending(mid, count)) return count;
    for (int32_t k = 0; k < n; ++k) {
        if (!std::isfinite(p[k]) || !std::isfinite(q[k])) return count;
    }
    std::memset(marks, 0, static_cast<size_t>(count));
    for (int32_t k = 0; k < n; ++k) {
        const bool first = nonNegative(p[k], mid[0], q[k]);
        if (nonNegative(p[k], mid[count - 1], q[k]) == first) continue;
        // The last index whose sign is still the first one, found without
        // branches on the data: the signs are as unpredictable as coin flips.
        int64_t same = 0, length = count - 1;
        while (length > 1) {
            const int64_t half = length / 2;
            same = nonNegative(p[k], mid[same + half], q[k]) == first ? same + half : same;
            length -= half;
        }
        marks[same + 1] = 1;
    }
    int64_t kept = 1;
    for (int64_t j = 1; j < count; ++j) {
        if (marks[j]) mid[kept++] = mid[j];
    }
    return kept;
}

}  // namespace tarvenloch
