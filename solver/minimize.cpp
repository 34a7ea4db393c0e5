#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
// Scans shorter than this run on the scalar path.
constexpr int64_t kMinVectorIntervals = 8;
// Scans shorter than this are not searched for repeated intervals.
constexpr int64_t kMinIntervalsToDrop = 512;

bool yieldsBreakpoint(double slope) { return slope > kSlopeThreshold || slope < -kSlopeThreshold; }

// Fills mid[0..2m] with the midpoints of the grid
//   -1e10, -s[m-1], ..., -s[0], s[0], ..., s[m-1], +1e10
// built from the ascending breakpoints s[0..m-1].
void buildMidpoints(const double *s, int32_t m, double *mid) {
    double *grid = mid;      // the grid is turned into its midpoints in place
    const int64_t size = m;  // 64-bit: 2m + 1 does not fit in 32 bits for every m
    grid[0] = -kSentinel;
    for (int64_t i = 1; i <= size; ++i) grid[i] = -s[size - i];
    for (int64_t i = 0; i < size; ++i) grid[size + 1 + i] = s[i];
    grid[2 * size + 1] = kSentinel;
    // Entry j - 1 is read before it is overwritten, entry j after.
    const int64_t intervals = 2 * size + 1;
    for (int64_t j = 1; j <= intervals; ++j) grid[j - 1] = (grid[j - 1] + grid[j]) * 0.5;
}

// Whether p * o + q >= 0, evaluated exactly as the scan evaluates it.
inline bool nonNegative(double p, double o, double q) {
    const double product = p * o;
    return product + q >= 0;
}

// Drops every interval whose pattern of term signs equals its left
// neighbour's, keeping the first of each run; returns how many remain.
// An interval with the same signs as an earlier one has the same slope, the
// same candidate and the same score to the bit, so it can never beat that
// earlier interval: dropping it changes no result. About half the grid
// points are mirror images, not kinks, so this halves a typical scan.
//
// Applies when the midpoints ascend and every p and q is finite: then each
// term's sign, as a function of the midpoint, changes at most once (rounding
// is monotone, and no NaN can arise), and a binary search finds where.
// marks needs room for count bytes.
int64_t dropRepeatedIntervals(double *mid, int64_t count, const double *p, const double *q,
                              int32_t n, unsigned char *marks) {
    // Each binary search step waits on the one before; below this many
    // intervals the searches cost more than the intervals they save.
    if (count < kMinIntervalsToDrop) return count;
    for (int64_t j = 1; j < count; ++j) {
        if (!(mid[j - 1] <= mid[j])) return count;
    }
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

}  // namespace

Workspace::~Workspace() { std::free(heap_); }

void *Workspace::reserve(uint64_t bytes) {
    if (bytes <= kInlineBytes) return inline_;
    if (bytes <= heapBytes_) return heap_;
    // The old contents are not needed: free first, so peak use stays one block.
    std::free(heap_);
    heap_ = nullptr;
    heapBytes_ = 0;
    if (bytes > std::numeric_limits<size_t>::max()) return nullptr;
    heap_ = std::malloc(static_cast<size_t>(bytes));
    if (heap_ != nullptr) heapBytes_ = bytes;
    return heap_;
}

SolveOptions defaultOptions() { return {selectedScanLevel(), Strategy::Automatic}; }

bool minimize(const SolveOptions &options, Workspace &workspace, double *result, double a,
              double b, const double *p, const double *q, int32_t n) {
    int32_t m = 0;
    for (int32_t k = 0; k < n; ++k) m += yieldsBreakpoint(p[k]) ? 1 : 0;
    if (m == 0) {
        *result = a;
        return true;
    }

    // One block holds the m breakpoints, then the 2m + 2 grid entries with
    // room to pad the 2m + 1 midpoints. Sizes are 64-bit: no n overflows.
    const int64_t doubles = 3 * static_cast<int64_t>(m) + 2 + kPadding;
    double *scratch = static_cast<double *>(
        workspace.reserve(static_cast<uint64_t>(doubles) * sizeof(double)));
    if (scratch == nullptr) {
        *result = std::numeric_limits<double>::quiet_NaN();
        return false;
    }
    double *breakpoints = scratch;
    double *mid = scratch + m;

    // |q_k / p_k|, stored by negation when the quotient is not positive: a
    // quotient of +0.0 becomes -0.0 and a NaN keeps NaN with its sign flipped.
    int32_t stored = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (!yieldsBreakpoint(p[k])) continue;
        const double r = q[k] / p[k];
        breakpoints[stored++] = r > 0 ? r : -r;
    }

    sortBreakpoints(breakpoints, m);
    buildMidpoints(breakpoints, m, mid);
    // The breakpoints are in the grid now; their room holds the marks.
    const int64_t intervals = dropRepeatedIntervals(mid, 2 * static_cast<int64_t>(m) + 1, p, q, n,
                                                    reinterpret_cast<unsigned char *>(breakpoints));
    // A vector scan pays for itself only from a few vectors on.
    const ScanFunction scan =
        intervals < kMinVectorIntervals ? scanPortable : scanFor(options.level);
    *result = scan(mid, intervals, a, b, p, q, n);
    return true;
}

bool minimizeWithScan(ScanLevel level, double *result, double a, double b, const double *p,
                      const double *q, int32_t n) {
    Workspace workspace;
    return minimize({level, Strategy::Automatic}, workspace, result, a, b, p, q, n);
}

}  // namespace tarvenloch

extern "C" bool minimizeOverBreakpoints(double *result, double a, double b, const double *p,
                                        const double *q, int32_t n) {
    tarvenloch::Workspace workspace;
    return tarvenloch::minimize(tarvenloch::defaultOptions(), workspace, result, a, b, p, q, n);
}
