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

extern "C" void sortBreakpoints(double *values, int32_t m) {
    tarvenloch::sortBySiftPasses(values, m);
}
