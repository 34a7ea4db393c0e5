#include <cstdint>
#include <cstdlib>
#include <limits>

#include "internal.h"
#include "tarvenloch.h"

namespace tarvenloch {
namespace {

// A term yields a breakpoint only when its slope is beyond this, strictly.
constexpr double kSlopeThreshold = 1e-10;
// The grid's outer entries.
constexpr double kSentinel = 1e10;
// Room the vector scans may pad the midpoints into.
constexpr int32_t kPadding = 8;
// Problems whose scratch fits here need no heap allocation.
constexpr int64_t kStackDoubles = 512;

bool yieldsBreakpoint(double slope) { return slope > kSlopeThreshold || slope < -kSlopeThreshold; }

// Fills mid[0..2m] with the midpoints of the grid
//   -1e10, -s[m-1], ..., -s[0], s[0], ..., s[m-1], +1e10
// built from the ascending breakpoints s[0..m-1].
void buildMidpoints(const double *s, int32_t m, double *mid) {
    double *grid = mid;  // the grid is turned into its midpoints in place
    const int64_t count = m;  // 64-bit: 2m + 1 does not fit in 32 bits for every m
    grid[0] = -kSentinel;
    for (int64_t i = 1; i <= count; ++i) grid[i] = -s[count - i];
    for (int64_t i = 0; i < count; ++i) grid[count + 1 + i] = s[i];
    grid[2 * count + 1] = kSentinel;
    // Entry j - 1 is read before it is overwritten, entry j after.
    const int64_t intervals = 2 * count + 1;
    for (int64_t j = 1; j <= intervals; ++j) grid[j - 1] = (grid[j - 1] + grid[j]) * 0.5;
}

}  // namespace

bool minimizeWithScan(ScanLevel level, double *result, double a, double b, const double *p,
                      const double *q, int32_t n) {
    int32_t m = 0;
    for (int32_t k = 0; k < n; ++k) m += yieldsBreakpoint(p[k]) ? 1 : 0;
    if (m == 0) {
        *result = a;
        return true;
    }

    // One block holds the m breakpoints, then the 2m + 2 grid entries with
    // room to pad the 2m + 1 midpoints. Sizes are 64-bit: no n overflows.
    const int64_t doubles = 3 * static_cast<int64_t>(m) + 2 + kPadding;
    double stackScratch[kStackDoubles];
    double *scratch = stackScratch;
    if (doubles > kStackDoubles) {
        if (static_cast<uint64_t>(doubles) > std::numeric_limits<size_t>::max() / sizeof(double)) {
            scratch = nullptr;
        } else {
            scratch = static_cast<double *>(std::malloc(static_cast<size_t>(doubles) * sizeof(double)));
        }
        if (scratch == nullptr) {
            *result = std::numeric_limits<double>::quiet_NaN();
            return false;
        }
    }
    double *breakpoints = scratch;
    double *mid = scratch + m;

    // |q_k / p_k|, stored by negation when the quotient is not positive: a
    // quotient of +0.0 becomes -0.0 and a NaN keeps NaN with its sign flipped.
    int32_t count = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (!yieldsBreakpoint(p[k])) continue;
        const double r = q[k] / p[k];
        breakpoints[count++] = r > 0 ? r : -r;
    }

    sortBreakpoints(breakpoints, m);
    buildMidpoints(breakpoints, m, mid);
    const double best = scanFor(level)(mid, 2 * static_cast<int64_t>(m) + 1, a, b, p, q, n);

    *result = best;
    if (scratch != stackScratch) std::free(scratch);
    return true;
}

}  // namespace tarvenloch

extern "C" bool minimizeOverBreakpoints(double *result, double a, double b, const double *p,
                                        const double *q, int32_t n) {
    return tarvenloch::minimizeWithScan(tarvenloch::selectedScanLevel(), result, a, b, p, q, n);
}
