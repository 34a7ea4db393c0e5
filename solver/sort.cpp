// The breakpoint sort: ascending order, in place. Without NaN any correct
// sort gives the sequence the sift-pass heap sort gives (up to the order of
// -0.0 and +0.0); with NaN the sift passes themselves decide the order.
#include <algorithm>
#include <cmath>

#include "internal.h"
#include "tarvenloch.h"

namespace tarvenloch {

void siftPass(double *values, int32_t start, int32_t limit) {
    for (int32_t k = start; k >= 0; --k) {
        // 64-bit child indices: 2k + 2 must not wrap for k near 2^30.
        const int64_t left = 2 * static_cast<int64_t>(k) + 1;
        const int64_t right = left + 1;
        // The right child wins ties and unordered pairs (any NaN); with the
        // right child outside the tree the left one is taken untested.
        int64_t child = left;
        if (right < limit && !(values[left] > values[right])) child = right;
        if (values[child] > values[k]) std::swap(values[k], values[child]);
    }
}

void sortKeyedBreakpoints(KeyedBreakpoint *values, int32_t m) {
    std::sort(values, values + m,
              [](const KeyedBreakpoint &x, const KeyedBreakpoint &y) { return x.r < y.r; });
}

void sortBySiftPasses(double *values, int32_t m) {
    // After a full pass the range's largest value sits at index 0; each
    // extraction moves it behind the shrinking range.
    siftPass(values, m / 2 - 1, m);
    for (int32_t i = m - 1; i >= 0; --i) {
        std::swap(values[0], values[i]);
        if (i >= 2) siftPass(values, i / 2 - 1, i);
    }
}

}  // namespace tarvenloch

// Without NaN, < is a strict weak order and any O(m log m) sort yields the
// same ascending sequence as the sift passes, except that -0.0 and +0.0,
// which compare equal, may end in the other order. That cannot change a
// result of the minimiser: a zero breakpoint only gives the grid a zero of
// some sign, a midpoint o of some sign, and p * o a zero of some sign, and
// adding a zero of either sign to q leaves x >= 0 as it was. With NaN, the
// order is whatever the sift passes make of it, so they are kept for that.
extern "C" void sortBreakpoints(double *values, int32_t m) {
    if (m < 2) return;
    for (int32_t i = 0; i < m; ++i) {
        if (std::isnan(values[i])) {
            tarvenloch::sortBySiftPasses(values, m);
            return;
        }
    }
    std::sort(values, values + m);
}
