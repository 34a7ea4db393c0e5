// The breakpoints and the grid. Every breakpoint is |q_k / p_k| of a term
// with |p_k| > 1e-10, stored exactly as the literal computation stores it;
// the grid mirrors the sorted breakpoints about zero between the sentinels
// -1e10 and +1e10, and its midpoints are (g[j - 1] + g[j]) * 0.5, computed
// in that order. The midpoints are the same bits whatever path uses them.
//
// Defined here, inline: they are short loops that small problems call once
// each, and a call apiece costs as much as the work at n = 10.
#ifndef TARVENLOCH_GRID_H
#define TARVENLOCH_GRID_H

#include <cmath>
#include <cstdint>

#include "internal.h"

namespace tarvenloch {

// A term yields a breakpoint only when its slope is beyond this, strictly.
constexpr double kSlopeThreshold = 1e-10;
// The grid's outer entries.
constexpr double kSentinel = 1e10;

// |q / p| stored by negation when the quotient is not positive: a quotient
// of +0.0 becomes -0.0 and a NaN keeps NaN with its sign flipped.
inline double breakpointOf(double quotient) { return negatedUnless(quotient > 0, quotient); }

// |p| > t is p > t or p < -t, NaN failing both; one test, no branch.
inline bool yieldsBreakpoint(double slope) { return std::fabs(slope) > kSlopeThreshold; }

// How many terms yield a breakpoint.
inline int32_t countBreakpoints(const double *p, int32_t n) {
    int32_t m = 0;
    for (int32_t k = 0; k < n; ++k) m += yieldsBreakpoint(p[k]);
    return m;
}

// The breakpoints of the terms that yield one, in term order.
inline void collectBreakpoints(const double *p, const double *q, int32_t n, double *out) {
    int32_t stored = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (yieldsBreakpoint(p[k])) out[stored++] = breakpointOf(q[k] / p[k]);
    }
}

// The same, each with its term, for the terms first to last - 1; out needs
// room for one entry more than there are breakpoints among them.
inline void collectKeyedBreakpoints(const double *p, const double *q, int32_t first, int32_t last,
                                    KeyedBreakpoint *out) {
    // Every term is written and the count moves on only for breakpoint
    // terms, so that the loop has no branch on the data.
    int32_t stored = 0;
    for (int32_t k = first; k < last; ++k) {
        const double quotient = q[k] / p[k];
        out[stored] = {breakpointOf(quotient), k, quotient > 0};
        stored += yieldsBreakpoint(p[k]);
    }
}
inline void collectKeyedBreakpoints(const double *p, const double *q, int32_t n,
                                    KeyedBreakpoint *out) {
    collectKeyedBreakpoints(p, q, 0, n, out);
}

// The same, shared among a team (if any): each range of terms counts
// its breakpoints, then writes them after those of the earlier ranges, in
// the same places as the serial loop (one range is that loop). A range stops at its last
// breakpoint, so that the loop's write past the last entry it keeps cannot
// land in the next range's room.
inline void collectKeyedBreakpoints(Team *team, const double *p, const double *q, int32_t n,
                                    KeyedBreakpoint *out) {
    const Ranges ranges = rangesFor(team, n);
    if (ranges.count == 1) {
        collectKeyedBreakpoints(p, q, n, out);
        return;
    }
    int32_t counts[kMostRanges], ends[kMostRanges];
    forEachRange(team, ranges, [&](int64_t r, int64_t from, int64_t to) {
        int32_t count = 0, end = static_cast<int32_t>(from);
        for (int64_t k = from; k < to; ++k) {
            if (yieldsBreakpoint(p[k])) {
                ++count;
                end = static_cast<int32_t>(k + 1);
            }
        }
        counts[r] = count;
        ends[r] = end;
    });
    int32_t offsets[kMostRanges];
    for (int64_t r = 0, total = 0; r < ranges.count; total += counts[r++])
        offsets[r] = static_cast<int32_t>(total);
    forEachRange(team, ranges, [&](int64_t r, int64_t from, int64_t) {
        collectKeyedBreakpoints(p, q, static_cast<int32_t>(from), ends[r], out + offsets[r]);
    });
}

// Fills mid[0..2m] with the midpoints of the grid
//   -1e10, -s(m-1), ..., -s(0), s(0), ..., s(m-1), +1e10
// built from the m >= 1 ascending breakpoints, s(i) giving breakpoint i:
// each midpoint is its two grid entries added, left first, then halved.
// Negation is exact, so this is what writing the grid out first would give,
// without the pass that writes it, up to the sign or payload of a NaN
// midpoint (the compiler may turn -x + x into x - x), which no result
// depends on: a NaN midpoint fails every sign test and the order check.
template <typename Breakpoint>
inline void buildMidpointsOf(Breakpoint s, int32_t m, double *mid) {
    const int64_t size = m;  // 64-bit: 2m + 1 does not fit in 32 bits for every m
    mid[0] = (-kSentinel + -s(size - 1)) * 0.5;
    for (int64_t i = 1; i < size; ++i) mid[i] = (-s(size - i) + -s(size - i - 1)) * 0.5;
    mid[size] = (-s(0) + s(0)) * 0.5;
    for (int64_t i = 0; i + 1 < size; ++i) mid[size + 1 + i] = (s(i) + s(i + 1)) * 0.5;
    mid[2 * size] = (s(size - 1) + kSentinel) * 0.5;
}
inline void buildMidpoints(const double *s, int32_t m, double *mid) {
    buildMidpointsOf([s](int64_t i) { return s[i]; }, m, mid);
}

// The same midpoints one at a time, from m >= 1 ascending keyed
// breakpoints: what buildMidpointsOf writes at j, for j in [0, 2m], or the
// entry of a list written out when one is given. The pruning reads them
// this way, so that no list of 2m + 1 of them has to be kept.
struct Midpoints {
    const double *list;  // the midpoints written out, or null
    const KeyedBreakpoint *sorted;
    int64_t m;

    double operator[](int64_t j) const {
        if (list != nullptr) return list[j];
        if (j == 0) return (-kSentinel + -sorted[m - 1].r) * 0.5;
        if (j < m) return (-sorted[m - j].r + -sorted[m - j - 1].r) * 0.5;
        if (j == m) return (-sorted[0].r + sorted[0].r) * 0.5;
        if (j < 2 * m) return (sorted[j - m - 1].r + sorted[j - m].r) * 0.5;
        return (sorted[m - 1].r + kSentinel) * 0.5;
    }
};

// Whether values[0..count-1] never descend (false with any NaN).
inline bool ascending(const double *values, int64_t count) {
    for (int64_t j = 1; j < count; ++j) {
        if (!(values[j - 1] <= values[j])) return false;
    }
    return true;
}

// Whether a, b and every p[k], q[k] are finite.
inline bool allFinite(double a, double b, const double *p, const double *q, int32_t n) {
    // x - x is 0 for finite x and NaN for infinities and NaN; summing keeps
    // any NaN, and the loop has no branch to mispredict.
    double any = (a - a) + (b - b);
    for (int32_t k = 0; k < n; ++k) any += (p[k] - p[k]) + (q[k] - q[k]);
    return any == 0;
}

}  // namespace tarvenloch

#endif
