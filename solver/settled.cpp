// Results known before the grid is built. Some inputs fix the result of the
// literal computation whatever its intervals hold: every score is NaN or
// +Inf, or every interval scores the same, or the first interval scores
// -Inf. Passes over the terms, O(n) in all, then give the result that the
// scan of every interval, O(n m), would give.
//
// docs/pruning.md ("Results known before the scan") gives the argument for
// each rule; the comments here name its steps. The rules for finite inputs
// rest on the monotonicity of rounding to nearest: x <= y gives
// fl(x) <= fl(y), and fl(|x|) = |fl(x)|. So a quantity of the literal
// computation is bounded by the same operations applied to bounds of its
// operands, computed in floating point, with nothing to add for rounding.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "grid.h"
#include "internal.h"

namespace tarvenloch {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// The scan's starting best value, and the candidate it returns when no
// score is below it.
constexpr double kStartingValue = 1e100;
constexpr double kFallback = 1e8;

// The biased exponent field of x: 0x7ff for NaN and the infinities.
inline uint32_t exponentField(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return static_cast<uint32_t>(bits >> 52) & 0x7ffu;
}

// Below 2^200 (kHugeField) every input is too small for the rules on huge
// values to apply, and also for the pruning bound's limits (C2) to fail:
// with n < 2^31 terms, sum |p| and sum |q| stay below 2^231 and every
// product in (C2) below 2^870.
bool anyUnusual(double a, double b, const double *p, const double *q, int32_t n) {
    uint64_t any = unusualMark(a) | unusualMark(b);
    for (int32_t k = 0; k < n; ++k) any |= unusualMark(p[k]) | unusualMark(q[k]);
    return any >> 63 != 0;
}

// A quarter of the gap from |x| to the next larger double. That is at most
// half the gap on either side of x (the gap below is half the one above
// when |x| is a power of 2), so fl(x + d) = x for every |d| < absorbed(x).
// 0, which no addend is below, where the quarter would not be a normal
// number (|x| < 2^-968, zero) or x is not finite.
inline double absorbed(double x) {
    const uint32_t field = exponentField(x);
    if (field < 55 || field == 0x7ff) return 0;
    const uint64_t bits = static_cast<uint64_t>(field - 54) << 52;
    double quarter;
    std::memcpy(&quarter, &bits, sizeof quarter);
    return quarter;
}

struct Interval {
    double candidate, score;
};

// The first grid interval's candidate and score, computed as the literal
// computation computes them. Its midpoint is (-1e10 + -s) * 0.5, s the
// largest breakpoint, which the sort puts last. Needs every p finite and no
// q NaN, so that no breakpoint is NaN; zeros of either sign give the same
// midpoint.
Interval firstInterval(double a, double b, const double *p, const double *q, int32_t n) {
    double largest = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (yieldsBreakpoint(p[k])) largest = std::max(largest, breakpointOf(q[k] / p[k]));
    }
    double mid = (-kSentinel + -largest) * 0.5;
    const ScanKernels portable = kernelsFor(ScanLevel::Portable);
    double slope;
    portable.slopes(&mid, 1, p, q, n, &slope);
    Interval first;
    first.candidate = slope * b + a;
    portable.values(&first.candidate, 1, a, b, p, q, n, &first.score);
    return first;
}

// Every interval scores what the first does: its candidate wins where that
// score is below the starting value, else none does.
bool firstWins(double a, double b, const double *p, const double *q, int32_t n, double *result) {
    const Interval first = firstInterval(a, b, p, q, n);
    *result = first.score < kStartingValue ? first.candidate : kFallback;
    return true;
}

// (R6) Given least <= |t| for every slope t, a finite, every p finite:
// whether every score's square term overflows, so that every score is
// +Inf - w, +Inf or NaN.
bool everySquareOverflows(double a, double b, double least) {
    const double product = least * std::fabs(b);                        // <= |fl(t b)|
    const double candidate = std::max(product - std::fabs(a), 0.0);     // <= |u|
    const double difference = std::max(candidate - std::fabs(a), 0.0);  // <= |u - a|
    return (difference * 0.5) * difference == kInfinity;
}

// Bounds of every slope t (the recursive sum, in term order, of +p_k or
// -p_k, as each interval's signs give): most >= |t| (the same recursive sum
// of |p_k|) and least <= |t|, both finite or most = +Inf. With p finite no
// running slope is NaN.
struct SlopeBounds {
    double most = 0, least = 0;
};
SlopeBounds slopeBounds(const double *p, int32_t n) {
    SlopeBounds bounds;
    for (int32_t k = 0; k < n; ++k) {
        // A running slope s and the next, fl(s +- p): |s +- p| >= |p| - |s|
        // and >= |s| - |p|, rounding keeps either bound.
        const double size = std::fabs(p[k]);
        bounds.least = std::max(std::max(size - bounds.most, bounds.least - size), 0.0);
        bounds.most = bounds.most + size;
    }
    return bounds;
}

// (R9) Given |u| <= most for every candidate u: whether every candidate's
// sum v takes one value, *sum. That is so when some terms are so large
// that y = fl(fl(u p) + q) = q whatever u is, the sum before the first of
// them vanishes beside it, and every other term vanishes beside the running
// sum after it.
bool sumIsFixed(double most, const double *p, const double *q, int32_t n, double *sum) {
    bool fixed = false;
    double running = 0;  // once fixed: the running sum, the same for every candidate
    double before = 0;   // until then: a bound on the running sum
    for (int32_t k = 0; k < n; ++k) {
        const double size = std::fabs(q[k]);
        const double reach = most * std::fabs(p[k]);  // >= |fl(u p)|
        if (reach < absorbed(q[k])) {
            // y = q: the sum adds |q|, and the running sum so far vanishes.
            if (!fixed) {
                if (!(before < absorbed(size))) return false;
                running = size;
                fixed = true;
            } else {
                running = running + size;
            }
        } else {
            const double term = reach + size;  // >= |y|
            if (!fixed) {
                before = before + term;
            } else if (!(term < absorbed(running))) {
                return false;
            }
        }
    }
    *sum = running;
    return fixed;
}

// Narrows (below, above) to neighbours, with holds(slope) true at above
// (or above = count) and false at below (or below = -1), and returns
// above: eight midpoints between them a pass, their slopes taken together
// in the vector lanes. holds must hold at every midpoint after one where
// it does, as it does for slopes that never decrease along the midpoints.
template <typename Holds>
int64_t narrowedEdge(const ScanKernels &kernels, const Midpoints &mid, const double *p,
                     const double *q, int32_t n, int64_t below, int64_t above, Holds holds) {
    constexpr int64_t kProbes = 8;
    double probe[2 * kProbes], slope[2 * kProbes];
    int64_t at[kProbes];
    while (above - below > 1) {
        const int64_t gap = above - below;
        const int64_t probes = std::min(kProbes, gap - 1);
        for (int64_t i = 0; i < probes; ++i) {
            at[i] = below + gap * (i + 1) / (probes + 1);
            probe[i] = mid[at[i]];
        }
        kernels.slopes(probe, probes, p, q, n, slope);
        int64_t i = 0;
        while (i < probes && !holds(slope[i])) below = at[i++];
        if (i < probes) above = at[i];
    }
    return above;
}

// (R10) Every square term overflows except where the slope is near zero:
// the intervals whose slope is far from zero cannot win, and only those
// between, found by a search of the sorted grid, are scanned. Writes the result
// and returns true, or returns false where this does not pay (or there is
// no room for the grid) without looking further.
bool scanNearZeroSlopes(ScanLevel level, Workspace &workspace, double a, double b, const double *p,
                        const double *q, int32_t n, double most, double *result) {
    if (b == 0) return false;
    // A slope edge past which every square term overflows, checked by the
    // same chain of bounds as (R6).
    double edge = (0x1p513 + 2 * std::fabs(a)) / std::fabs(b);
    for (int tries = 0; tries < 4 && !everySquareOverflows(a, b, edge); ++tries) edge *= 2;
    if (!(edge < kInfinity) || !everySquareOverflows(a, b, edge)) return false;
    if (!(edge < most)) return false;  // no slope can be past the edge

    // The sorted breakpoints, then the window's midpoints in the room the
    // sort's spare copy took.
    const int32_t m = countBreakpoints(p, n);
    const int64_t count = 2 * static_cast<int64_t>(m) + 1;
    constexpr int64_t kPadding = 8;  // room the vector scans pad into
    const uint64_t keyedBytes = (static_cast<uint64_t>(m) + 1) * sizeof(KeyedBreakpoint);
    const uint64_t listBytes = (static_cast<uint64_t>(count) + kPadding) * sizeof(double);
    void *scratch = workspace.reserve(keyedBytes + listBytes);
    if (scratch == nullptr) return false;
    KeyedBreakpoint *keyed = static_cast<KeyedBreakpoint *>(scratch);
    double *list = reinterpret_cast<double *>(keyed + m + 1);
    collectKeyedBreakpoints(p, q, n, keyed);
    sortKeyedBreakpoints(keyed, m, reinterpret_cast<KeyedBreakpoint *>(list));
    const Midpoints mid{nullptr, keyed, m};
    // Along ascending midpoints (which breakpoints up to the sentinel always
    // give) each interval's addends +-p_k never decrease, and neither do the
    // slopes, their recursive sums.
    if (!(keyed[m - 1].r <= kSentinel)) {
        for (int64_t j = 1; j < count; ++j) {
            if (!(mid[j - 1] <= mid[j])) return false;
        }
    }
    const ScanKernels kernels = kernelsFor(level);
    const auto narrow = [&](int64_t below, int64_t above, auto holds) {
        return narrowedEdge(kernels, mid, p, q, n, below, above, holds);
    };
    // The first interval whose slope is at least the edge, and every one
    // after it, has a square term of +Inf; so do the last at most -edge,
    // and every one before it.
    const int64_t above = narrow(-1, count, [edge](double t) { return t >= edge; });
    const int64_t first = narrow(-1, above, [edge](double t) { return !(t <= -edge); });
    // Every interval left out scores +Inf or NaN and never becomes best.
    const int64_t window = above - first;
    for (int64_t j = 0; j < window; ++j) list[j] = mid[first + j];
    const ScanFunction scan = window < 8 ? scanPortable : kernels.scan;
    *result = window == 0 ? kFallback : scan(list, window, a, b, p, q, n);
    return true;
}

// Inputs with a NaN or an infinity among them.
bool settleNonFinite(ScanLevel level, Workspace &workspace, double a, double b, const double *p,
                     const double *q, int32_t n, double *result) {
    // (R1) a NaN or infinite, b NaN or infinite, some p NaN or infinite, or
    // some q NaN: every score is NaN or +Inf.
    bool everyScoreFails = !std::isfinite(a) || !std::isfinite(b);
    bool infiniteOffset = false;
    for (int32_t k = 0; k < n; ++k) {
        everyScoreFails |= !std::isfinite(p[k]) || std::isnan(q[k]);
        infiniteOffset |= std::isinf(q[k]);
    }
    // (R2) Some q infinite and b not above zero: likewise.
    if (everyScoreFails || (infiniteOffset && !(b > 0))) {
        *result = kFallback;
        return true;
    }
    if (!infiniteOffset) return false;
    // (R3) Some q infinite, b > 0: every score is -Inf, +Inf or NaN, and
    // nothing scores below -Inf. Most often the first interval already does.
    const Interval first = firstInterval(a, b, p, q, n);
    if (first.score == -kInfinity) {
        *result = first.candidate;
        return true;
    }
    // (R6), (R5) and (R10) hold whatever q is.
    const SlopeBounds slopes = slopeBounds(p, n);
    if (everySquareOverflows(a, b, slopes.least)) {
        *result = kFallback;
        return true;
    }
    if (slopes.most * b < absorbed(a)) return firstWins(a, b, p, q, n, result);
    return scanNearZeroSlopes(level, workspace, a, b, p, q, n, slopes.most, result);
}

// Every input finite, and some at 2^200 or beyond.
bool settleHuge(ScanLevel level, Workspace &workspace, double a, double b, const double *p,
                const double *q, int32_t n, double *result) {
    const SlopeBounds slopes = slopeBounds(p, n);
    // (R6) Every square term overflows.
    if (everySquareOverflows(a, b, slopes.least)) {
        *result = kFallback;
        return true;
    }
    if (!(slopes.most < kInfinity)) return false;
    // (R4) b = +-0 with every slope finite: every candidate is a + (+-0),
    // and every score the same.
    if (b == 0) return firstWins(a, b, p, q, n, result);
    // (R5) Every product t b vanishes beside a: every candidate is a.
    const double reach = slopes.most * std::fabs(b);  // >= |fl(t b)|
    if (reach < absorbed(a)) return firstWins(a, b, p, q, n, result);
    const double most = reach + std::fabs(a);  // >= |u|
    if (!(most < kInfinity)) return false;
    // (R7) b < 0 and some |q| so large that every score is at least 1e100.
    if (b < 0) {
        double smallest = 0;  // <= every sum v
        for (int32_t k = 0; k < n; ++k) {
            smallest = std::max(smallest, std::fabs(q[k]) - most * std::fabs(p[k]));
        }
        if (smallest * -b >= kStartingValue) {
            *result = kFallback;
            return true;
        }
    }
    // (R8) Every sum v the same, and every square term vanishing beside
    // v b: every score is -(v b).
    double sum;
    if (sumIsFixed(most, p, q, n, &sum)) {
        const double weighted = sum * b;
        const double difference = most + std::fabs(a);  // >= |u - a|
        if ((difference * 0.5) * difference < absorbed(weighted)) {
            return firstWins(a, b, p, q, n, result);
        }
    }
    return scanNearZeroSlopes(level, workspace, a, b, p, q, n, slopes.most, result);
}

}  // namespace

bool settledResult(ScanLevel level, Workspace &workspace, double a, double b, const double *p,
                   const double *q, int32_t n, double *result) {
    // Most inputs are finite and moderate, and leave after this one pass.
    if (!anyUnusual(a, b, p, q, n)) return false;
    if (!allFinite(a, b, p, q, n)) return settleNonFinite(level, workspace, a, b, p, q, n, result);
    return settleHuge(level, workspace, a, b, p, q, n, result);
}

}  // namespace tarvenloch
