// Pruning: keeps every interval that could still hold the result and drops
// the rest, without computing any score exactly.
//
// Guarantee: the interval that the literal scan would pick (the first of
// least score) is always among the kept ones, which are written in interval
// order. Scanning the kept list exactly therefore returns the literal
// result to the bit. The argument is docs/pruning.md; each "Step N" below
// names its section of the same number, and the bound (steps 4 to 7 and
// "The bound") is bound.h.
//
// Applies only when pruningApplies() holds (every input finite, nothing in
// the bound can overflow) and the midpoints ascend.
//
// Each step is a serial kernel over a range [from, to) of kinks or
// candidates. A driver cuts the work into ranges (rangesFor: one without a
// team), runs the kernel on each, and merges the ranges' results in range
// order; with one range it calls the kernel once over everything, which is
// the serial code. Only the drivers see the team.
//
// Cost: O(n + m) beyond the sort of the breakpoints, which the caller has
// done, and a sort of the few terms with 0 < |p| <= 1e-10.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "bound.h"
#include "grid.h"
#include "internal.h"

namespace tarvenloch {
namespace {

// From this many terms on, the running sums are compensated.
constexpr int32_t kCarryFrom = 32768;

// high + x; when carry holds, with the addition's rounding error (exact, by
// Knuth's TwoSum) added into low, which otherwise stays as it is.
inline void addCompensated(double &high, double &low, double x, bool carry) {
    if (!carry) {
        high += x;
        return;
    }
    const double sum = high + x;
    const double virtualX = sum - high;
    const double error = (high - (sum - virtualX)) + (x - virtualX);
    high = sum;
    low += error;
}

// A running sum from 0, with its carried error (0 when nothing is carried).
struct RunningSum {
    double high = 0, low = 0;
};

// ---- The kinks (step 2) ----

// A kink -q/p of a term with p != 0. Its position is computed when it is
// needed, as -(q / p): for a breakpoint term that is the grid entry +-r
// exactly (the breakpoint stores the quotient or its negation), and for
// the few others the kink itself. Eight bytes a term, where keeping the
// position too would take sixteen.
struct Kink {
    uint32_t term;
    // An interval. Step 1: the guess of the term's flip, then its flip (0:
    // none). From the running slopes on, kink c's entry holds the interval
    // of candidate c instead (Candidates::interval).
    uint32_t index;
};

inline double kinkAt(const double *p, const double *q, uint32_t term) {
    return -(q[term] / p[term]);
}

// The passes in kink order read each kink's p and q from wherever its term
// lies: a cache miss apiece on large problems, and the running sums cannot
// go on until it is served. Asking for the terms of the kink kPrefetchAhead
// places on brings them in meanwhile (a hint only: it changes no value).
constexpr int64_t kPrefetchAhead = 64;
inline void prefetchKink(const double *p, const double *q, const Kink *kinks, int64_t kinkCount,
                         int64_t l) {
#if defined(__GNUC__) || defined(__clang__)
    if (l + kPrefetchAhead < kinkCount) {
        const uint32_t k = kinks[l + kPrefetchAhead].term;
        __builtin_prefetch(p + k);
        __builtin_prefetch(q + k);
    }
#else
    (void)p, (void)q, (void)kinks, (void)kinkCount, (void)l;
#endif
}

// A kink of a term with 0 < |p| <= 1e-10, whose place among the midpoints
// is found by search: these are sorted apart and merged in.
struct TinyKink {
    double at;
    uint32_t term;
    uint32_t guess;
};

// S(x) = alpha x + beta for x past the first l kinks (step 2), with the
// rounding errors the running sums carry (0 when they carry none).
struct LinearForm {
    double alpha, alphaLow, beta, betaLow;
};

// ---- The scratch ----

// The pruning's scratch, carved from one block, for n terms and count
// intervals. Its bytes past the state are not read before pruneIntervals
// writes them, so a caller may use them until then (the pruned path sorts
// its breakpoints there). Per term, with as many breakpoints as terms:
//   increase     16 bytes: step 1's increases; from the running slopes on,
//                the candidates' slopes and scores (Candidates)
//   increaseLow  16 bytes: the increases' carried errors; then the
//                candidates' slopes' carried errors, or without carried
//                errors their estimated sums (Candidates)
//   kinks         8 bytes (n + 2 entries: the branch-free loops write one
//                past the last entry they keep)
//   tinyKinks    16 bytes, touched only when some 0 < |p| <= 1e-10
//   checkpoints  S's linear form past every 64th kink: half a byte
// The second round (refineCandidates) reuses increase and increaseLow for
// its own scores and bounds, and reads the kinks and checkpoints.
struct Layout {
    // What the second round needs of the first, at the start of the block.
    struct State {
        const double *p, *q;
        int64_t count;
        int32_t kinkCount;
        int32_t ready;  // the kinks and checkpoints are in place
        int32_t carry;  // and carry the running sums' rounding errors
        // The literal score of an interval the first round keeps (+Inf
        // when none was computed): no interval scoring more can win.
        double exactScore;
    };
    static constexpr size_t kStateBytes = 64;
    static_assert(sizeof(State) <= kStateBytes, "the state fits its room");
    static constexpr int64_t kCheckpointEvery = 64;

    State *state;
    double *increase, *increaseLow;
    Kink *kinks;
    TinyKink *tinyKinks;
    LinearForm *checkpoints;

    static uint64_t terms(int32_t n) { return static_cast<uint64_t>(n < 0 ? 0 : n) + 2; }
    static uint64_t increaseEntries(int32_t n, int64_t count) {
        return std::max<uint64_t>(static_cast<uint64_t>(count) + 8, 2 * terms(n));
    }
    // increaseLow: one entry an interval, and two more for the second
    // round, whose list may hold the grid's two end intervals beside the
    // pruned ones (kinks past both sentinels).
    static uint64_t lowEntries(int64_t count) { return static_cast<uint64_t>(count) + 2; }
    static uint64_t bytes(int32_t n, int64_t count) {
        return kStateBytes + (increaseEntries(n, count) + lowEntries(count)) * 8 +
               terms(n) * (sizeof(Kink) + sizeof(TinyKink)) +
               (terms(n) / kCheckpointEvery + 2) * sizeof(LinearForm);
    }

    Layout(void *scratch, int32_t n, int64_t count) {
        state = static_cast<State *>(scratch);
        increase = reinterpret_cast<double *>(static_cast<char *>(scratch) + kStateBytes);
        increaseLow = increase + increaseEntries(n, count);
        kinks = reinterpret_cast<Kink *>(increaseLow + lowEntries(count));
        tinyKinks = reinterpret_cast<TinyKink *>(kinks + terms(n));
        checkpoints = reinterpret_cast<LinearForm *>(tinyKinks + terms(n));
    }
};

// The candidates (step 1: the first interval of each sign pattern), in the
// room of step 1's increases and flips, which each is written over only
// once it has been read: candidate c's slope where interval c's increase
// was and its interval where kink c's flip was (the running sum that
// writes them reads interval j >= c), and the scores past the last slope
// (found <= n + 1 of each, in 2(n + 2) entries).
struct Candidates {
    double *slope;     // T~_c
    double *slopeLow;  // its carried error (carried errors only)
    double *sum;       // S~ at the candidate (without carried errors only)
    double *score;     // F~_c, from step 3 on
    Kink *kinks;
    int64_t found = 0;

    Candidates(const Layout &layout, bool carry)
        : slope(layout.increase),
          slopeLow(carry ? layout.increaseLow : nullptr),
          sum(carry ? nullptr : layout.increaseLow),
          score(nullptr),
          kinks(layout.kinks) {}
    uint32_t &interval(int64_t c) const { return kinks[c].index; }
};

// What every step reads: the problem, its midpoints and its sorted kinks.
struct Problem {
    double a, b;
    const double *p, *q;
    int32_t n;
    Midpoints mid;
    int64_t count;  // intervals
    Layout layout;
    const Kink *kinks;
    int64_t kinkCount;

    double candidate(double slope) const { return slope * b + a; }
};

// ---- Step 2: S as a linear function between kinks ----

// Past one more kink the term's sign turns, so alpha grows by 2|p| and
// beta by 2 sign(p) q.
inline void passKink(LinearForm &form, double p, double q, bool carry) {
    addCompensated(form.alpha, form.alphaLow, 2 * std::fabs(p), carry);
    addCompensated(form.beta, form.betaLow, negatedUnless(p > 0, 2 * q), carry);
}

// S's linear form past no kink.
inline LinearForm startingForm(const Magnitudes &magnitudes) {
    return {-magnitudes.slopeSum, -magnitudes.slopeSumLow, magnitudes.offsetSum,
            magnitudes.offsetSumLow};
}

// The estimates at x, with S's linear form past the kinks below x: S~(x) =
// x alpha + beta, what the running sums' carried errors add to its bound
// (|x| |alpha low| + |beta low|, 0 when nothing is carried), and F~(x) by
// the literal formula with S~ for the sum. Both rounds take them here.
struct Estimate {
    double sum, sumLow, distance, score;
};
inline Estimate estimateAt(double x, double a, double b, const LinearForm &form, bool carry) {
    const double sum = x * form.alpha + form.beta;
    const double d = x - a;
    return {sum, carry ? std::fabs(x) * std::fabs(form.alphaLow) + std::fabs(form.betaLow) : 0.0, d,
            ((d * 0.5) * d) - sum * b};
}

// The kinks below x: the first l with !(kink l < x).
int64_t kinksBelow(const double *p, const double *q, const Kink *kinks, int64_t kinkCount,
                   double x) {
    int64_t lo = 0, hi = kinkCount;
    while (lo < hi) {
        const int64_t middle = lo + (hi - lo) / 2;
        if (kinkAt(p, q, kinks[middle].term) < x) {
            lo = middle + 1;
        } else {
            hi = middle;
        }
    }
    return lo;
}

// S's linear form past the first l kinks: from the checkpoint before l, by
// the same additions in the same order as the pass that wrote it.
LinearForm formAt(const double *p, const double *q, const Kink *kinks,
                  const LinearForm *checkpoints, int64_t l, bool carry) {
    const int64_t from = l / Layout::kCheckpointEvery * Layout::kCheckpointEvery;
    LinearForm form = checkpoints[from / Layout::kCheckpointEvery];
    for (int64_t k = from; k < l; ++k) passKink(form, p[kinks[k].term], q[kinks[k].term], carry);
    return form;
}

// The first midpoint not below x, by search over mid[0..count-1].
int64_t midpointsBelow(const Midpoints &mid, int64_t count, double x) {
    int64_t lo = 0, hi = count;
    while (lo < hi) {
        const int64_t middle = lo + (hi - lo) / 2;
        if (mid[middle] < x) {
            lo = middle + 1;
        } else {
            hi = middle;
        }
    }
    return lo;
}

// The kinks of the few terms with 0 < |p| <= 1e-10, sorted, merged from the
// back into the total sorted kinks (the free room of kinks is at its end);
// returns the new total.
int32_t mergeTinyKinks(const double *p, const double *q, int32_t n, const Midpoints &mid,
                       int64_t count, Kink *kinks, int32_t total, TinyKink *tiny) {
    int32_t tinyCount = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (p[k] != 0 && !yieldsBreakpoint(p[k])) {
            const double at = -(q[k] / p[k]);
            tiny[tinyCount++] = {at, static_cast<uint32_t>(k),
                                 static_cast<uint32_t>(midpointsBelow(mid, count, at))};
        }
    }
    std::sort(tiny, tiny + tinyCount,
              [](const TinyKink &x, const TinyKink &y) { return x.at < y.at; });
    int32_t from = total - 1, other = tinyCount - 1, to = total + tinyCount - 1;
    while (other >= 0) {
        if (from >= 0 && tiny[other].at < kinkAt(p, q, kinks[from].term)) {
            kinks[to--] = kinks[from--];
        } else {
            kinks[to--] = {tiny[other].term, tiny[other].guess};
            --other;
        }
    }
    return total + tinyCount;
}

// Kinks and the linear form: the kinks -q_k/p_k of every term with p_k !=
// 0, ascending, into kinks, each with the guess of its flip; returns how
// many. Those of the breakpoint terms come from the sorted breakpoints
// without a further sort: the kinks -r of positive quotients, in
// descending r, then the kinks r of the others, in ascending r. Their place
// among the midpoints follows from their place in the grid: -s[i] is grid
// entry m - i, and s[i] grid entry m + 1 + i, with the midpoint j = grid
// entry j, plus half the gap to entry j + 1. (One pass, not shared with a
// team: at 10^6 terms sharing it took longer than the pass itself.)
int32_t sortedKinks(const double *p, const double *q, int32_t n, const KeyedBreakpoint *sorted,
                    int32_t m, const Midpoints &mid, int64_t count, bool anyTiny, Kink *kinks,
                    TinyKink *tiny) {
    // Every entry is written and the count moves on only for the wanted
    // ones: the signs of the quotients are as unpredictable as coin flips.
    // kinks has room for n + 2 entries, so the write past the last wanted
    // entry stays inside.
    int32_t total = 0;
    const uint32_t breakpoints = static_cast<uint32_t>(m);
    for (int32_t i = m - 1; i >= 0; --i) {
        kinks[total] = {static_cast<uint32_t>(sorted[i].term), breakpoints - i};
        total += sorted[i].positiveQuotient;
    }
    for (int32_t i = 0; i < m; ++i) {
        kinks[total] = {static_cast<uint32_t>(sorted[i].term), breakpoints + 1 + i};
        total += 1 - sorted[i].positiveQuotient;
    }
    return anyTiny ? mergeTinyKinks(p, q, n, mid, count, kinks, total, tiny) : total;
}

// S's linear form past every 64th kink, into the checkpoints: one pass in
// kink order from the form past no kink (the walk of step 3 writes the same
// forms, by the same additions, when it runs on one thread).
template <bool kCarry>
void writeCheckpoints(const Problem &problem, LinearForm form) {
    const double *p = problem.p, *q = problem.q;
    LinearForm *checkpoints = problem.layout.checkpoints;
    for (int64_t l = 0; l < problem.kinkCount; ++l) {
        prefetchKink(p, q, problem.kinks, problem.kinkCount, l);
        const uint32_t term = problem.kinks[l].term;
        passKink(form, p[term], q[term], kCarry);
        if ((l + 1) % Layout::kCheckpointEvery == 0)
            checkpoints[(l + 1) / Layout::kCheckpointEvery] = form;
    }
}

// ---- Step 1: the sign patterns, exactly ----

// The first index in [1, count - 1] whose sign differs from the sign at
// mid[0]; the caller knows that mid[count - 1] differs. The signs change
// once (they are monotone in the midpoint), so a search from a good guess
// finds it: outwards in doubling steps, then by halving.
int64_t flipIndex(double p, double q, const Midpoints &mid, int64_t count, bool first,
                  int64_t guess) {
    auto same = [&](int64_t j) { return nonNegative(p, mid[j], q) == first; };
    int64_t lo, hi;  // same(lo), !same(hi)
    const int64_t start = std::min(std::max<int64_t>(guess, 1), count - 1);
    if (same(start)) {
        lo = start;
        hi = count - 1;
        for (int64_t step = 1; lo + step < count - 1; step *= 2) {
            if (!same(lo + step)) {
                hi = lo + step;
                break;
            }
            lo += step;
        }
    } else {
        hi = start;
        lo = 0;
        for (int64_t step = 1; hi - step > 0; step *= 2) {
            if (same(hi - step)) {
                lo = hi - step;
                break;
            }
            hi -= step;
        }
    }
    while (hi - lo > 1) {
        const int64_t middle = lo + (hi - lo) / 2;
        if (same(middle)) {
            lo = middle;
        } else {
            hi = middle;
        }
    }
    return hi;
}

// The least and the greatest flip (past 0, which means none) of some kinks.
struct FlipSpan {
    uint32_t least = ~0u, greatest = 0;
};

// Finding each flip, for the kinks [from, to): the flip replaces the guess
// in the kink's index. Each flip depends on its kink alone. With whole (one
// range over every kink), two sums are taken in the same pass, in kink
// order: the slope of interval 0 into first (the sign at the first midpoint
// is the sign before the flip, which the search has in hand, so the sum is
// the one firstSlope() takes), and each flip's increase (the sums
// addIncreases takes with one range, which owns every flip).
template <bool kCarry>
FlipSpan findFlips(const Problem &problem, Kink *kinks, int64_t from, int64_t to, bool whole,
                   RunningSum &first) {
    const double *p = problem.p, *q = problem.q;
    const Midpoints &mid = problem.mid;
    const int64_t count = problem.count;
    FlipSpan span;
    RunningSum slope;
    int64_t previous[2] = {0, 0};  // the last flip found, for p < 0 and for p > 0
    for (int64_t l = from; l < to; ++l) {
        prefetchKink(p, q, kinks, problem.kinkCount, l);
        const double pk = p[kinks[l].term], qk = q[kinks[l].term];
        // Mostly the signs on either side of the guess differ, and then the
        // flip is there and the sign before it is the first one. Any j with
        // different signs at j - 1 and j is the flip, as the sign changes at
        // most once; so where the guess fails, the flip of the previous kink
        // whose p has the same sign is tried the same way before a search
        // (kinks that coincide, whose guesses spread over their run of equal
        // grid entries, mostly share a flip with those of the same sign).
        const int64_t guess = std::min<int64_t>(std::max<int64_t>(kinks[l].index, 1), count - 1);
        const bool before = nonNegative(pk, mid[guess - 1], qk);
        int64_t flip = guess;
        bool firstSign = before;
        if (before == nonNegative(pk, mid[guess], qk)) {
            firstSign = nonNegative(pk, mid[0], qk);
            if (nonNegative(pk, mid[count - 1], qk) == firstSign) {
                flip = 0;  // no flip
            } else {
                const int64_t tried = previous[pk > 0];
                flip = tried > 0 && nonNegative(pk, mid[tried - 1], qk) == firstSign &&
                               nonNegative(pk, mid[tried], qk) != firstSign
                           ? tried
                           : flipIndex(pk, qk, mid, count, firstSign, guess);
            }
        }
        if (whole) addCompensated(slope.high, slope.low, negatedUnless(firstSign, pk), kCarry);
        kinks[l].index = static_cast<uint32_t>(flip);
        if (flip > 0) {
            if (whole)
                addCompensated(problem.layout.increase[flip], problem.layout.increaseLow[flip],
                               2 * std::fabs(pk), kCarry);
            previous[pk > 0] = flip;
            span.least = std::min(span.least, static_cast<uint32_t>(flip));
            span.greatest = std::max(span.greatest, static_cast<uint32_t>(flip));
        }
    }
    if (whole) first = slope;
    return span;
}

// The slope of interval 0 in a pass of its own: each kink's sign at the
// first midpoint by the scan's test, summed in kink order. (Terms with p =
// 0 add nothing: step 1.)
template <bool kCarry>
RunningSum firstSlope(const Problem &problem) {
    const double *p = problem.p, *q = problem.q;
    const double firstMid = problem.mid[0];
    RunningSum slope;
    for (int64_t l = 0; l < problem.kinkCount; ++l) {
        prefetchKink(p, q, problem.kinks, problem.kinkCount, l);
        const double pk = p[problem.kinks[l].term];
        addCompensated(slope.high, slope.low,
                       negatedUnless(nonNegative(pk, firstMid, q[problem.kinks[l].term]), pk),
                       kCarry);
    }
    return slope;
}

// The increases of intervals [from, to) set to 0, to be summed into.
template <bool kCarry>
void clearIncreases(const Layout &layout, int64_t from, int64_t to) {
    std::fill(layout.increase + from, layout.increase + to, 0.0);
    if (kCarry) std::fill(layout.increaseLow + from, layout.increaseLow + to, 0.0);
}

// What step 1's pass over the kinks gives: every flip in the kinks, the
// slope of interval 0, each range's span of flips, and whether S's
// checkpoints were written beside it.
struct FlipsFound {
    Ranges ranges;
    FlipSpan spans[kMostRanges];
    RunningSum first;
    bool checkpointsWritten = false;
};

// Steps 1 and 2 over the kinks: the flips, the slope of interval 0 and S's
// checkpoints. With one range, the flips kernel sums the first slope and
// the increases too, and the walk of step 3 writes the checkpoints on its
// way. With more, the ranges find the flips (each range also clears its
// share of the increases) while two more pieces sum the first slope and
// the checkpoints: those need of the flips only each kink's sign at the
// first midpoint, which they work out by the same test, so the sums are
// the same, in the same order.
template <bool kCarry>
FlipsFound findFlipsAndSums(const Problem &problem, Kink *kinks, const Magnitudes &magnitudes,
                            Team *team) {
    FlipsFound found{rangesFor(team, problem.kinkCount), {}, {}, false};
    const Ranges cleared = Ranges::even(problem.count, found.ranges.count);
    const bool beside = found.ranges.count > 1;
    const int64_t besidePieces = beside ? 2 : 0;
    forEachPiece(team, found.ranges.count + besidePieces, [&](int64_t piece) {
        if (piece < besidePieces) {
            if (piece == 0) writeCheckpoints<kCarry>(problem, startingForm(magnitudes));
            if (piece == 1) found.first = firstSlope<kCarry>(problem);
            return;
        }
        const int64_t r = piece - besidePieces;
        clearIncreases<kCarry>(problem.layout, cleared.from(r), cleared.from(r + 1));
        found.spans[r] = findFlips<kCarry>(problem, kinks, found.ranges.from(r),
                                           found.ranges.from(r + 1), !beside, found.first);
    });
    found.checkpointsWritten = beside;
    return found;
}

// Which range owns which flip: range r owns flip f > 0 when every earlier
// range's flips are below f and every later range's above it.
//
// Contract (the shared-flips rule): a flip is owned by at most one range,
// and then all of that range's kinks with that flip are owned, and no
// other range has one. Proof: if r owns f, every other range's flips are
// strictly below or strictly above f, so all kinks that flip at f lie in
// r; and ownership depends on r and f alone, so each of them is owned.
// With one range every flip is owned.
struct Ownership {
    uint32_t before[kMostRanges], after[kMostRanges];

    explicit Ownership(const FlipsFound &found) {
        const int64_t ranges = found.ranges.count;
        for (int64_t r = 0; r < ranges; ++r)
            before[r] = r == 0 ? 0 : std::max(before[r - 1], found.spans[r - 1].greatest);
        for (int64_t r = ranges - 1; r >= 0; --r)
            after[r] = r == ranges - 1 ? ~0u : std::min(after[r + 1], found.spans[r + 1].least);
    }
    bool owns(int64_t r, uint32_t flip) const { return flip > before[r] && flip < after[r]; }
};

// The kinks of a range whose flips it does not own: all lie in [first, last].
struct Unowned {
    int64_t first, last;
};

// Step 1, the slope's increase at each interval: 2|p| of every kink that
// flips there. Adds those of the kinks [from, to) that range r owns, in
// kink order, and returns the stretch of its other kinks with a flip.
template <bool kCarry>
Unowned addOwnedIncreases(const Problem &problem, const Ownership &ownership, int64_t r,
                          int64_t from, int64_t to) {
    const double *p = problem.p;
    const Layout &layout = problem.layout;
    Unowned unowned{to, to - 1};
    for (int64_t l = from; l < to; ++l) {
        prefetchKink(p, problem.q, problem.kinks, problem.kinkCount, l);
        const Kink kink = problem.kinks[l];
        if (ownership.owns(r, kink.index)) {
            addCompensated(layout.increase[kink.index], layout.increaseLow[kink.index],
                           2 * std::fabs(p[kink.term]), kCarry);
        } else if (kink.index > 0) {
            unowned.first = std::min(unowned.first, l);
            unowned.last = l;
        }
    }
    return unowned;
}

// The increases, every sum over the kinks that flip at its interval in
// kink order, as one pass over all kinks takes them (findFlips' pass, with
// one range), where step 1 ran in ranges: the ranges add the flips they
// own, then this thread adds the others, range after range, in kink order.
// By the contract above, no flip's kinks are split between the two, and
// each part adds its kinks in kink order.
template <bool kCarry>
void addIncreases(const Problem &problem, const FlipsFound &found, Team *team) {
    const Ownership ownership(found);
    Unowned unowned[kMostRanges];
    forEachRange(team, found.ranges, [&](int64_t r, int64_t from, int64_t to) {
        unowned[r] = addOwnedIncreases<kCarry>(problem, ownership, r, from, to);
    });
    const Layout &layout = problem.layout;
    for (int64_t r = 0; r < found.ranges.count; ++r) {
        for (int64_t l = unowned[r].first; l <= unowned[r].last; ++l) {
            const Kink kink = problem.kinks[l];
            if (kink.index > 0 && !ownership.owns(r, kink.index))
                addCompensated(layout.increase[kink.index], layout.increaseLow[kink.index],
                               2 * std::fabs(problem.p[kink.term]), kCarry);
        }
    }
}

// Estimated slopes: the first interval of every sign pattern is a
// candidate (the others repeat their left neighbour), and its estimated
// slope T~ is the running sum of the increases from interval 0's slope.
// Writes the candidates over the increases and flips (Candidates), and
// returns how many.
template <bool kCarry>
int64_t runningSlopes(const Layout &layout, int64_t count, RunningSum first, Candidates &cands) {
    double running = first.high, low = first.low;
    cands.interval(0) = 0;
    cands.slope[0] = running;
    if (kCarry) cands.slopeLow[0] = low;
    int64_t found = 1;
    for (int64_t j = 1; j < count; ++j) {
        const double step = layout.increase[j];
        addCompensated(running, low, step, kCarry);
        if (kCarry) low += layout.increaseLow[j];
        cands.interval(found) = static_cast<uint32_t>(j);
        cands.slope[found] = running;
        if (kCarry) cands.slopeLow[found] = low;
        found += step > 0;
    }
    cands.found = found;
    cands.score = cands.slope + found;
    return found;
}

// ---- Step 3: estimated candidates and where they lie ----

// What the walk finds over some of the candidates.
struct Findings {
    int64_t lowest = -1;  // the first candidate of the lowest estimated score
    double lowestScore = std::numeric_limits<double>::infinity();
    Extent widest{};
    bool placed = true;
    int64_t firstKinks = 0, lastKinks = 0;  // the kinks passed at the first and the last candidate

    // other's candidates follow these: the walk of both in one would have
    // found a candidate out of place where other starts below the kinks
    // these have passed.
    void include(const Findings &other) {
        if (other.lowest >= 0 && (other.lowestScore < lowestScore ||
                                  (other.lowestScore == lowestScore && other.lowest < lowest))) {
            lowest = other.lowest;
            lowestScore = other.lowestScore;
        }
        widest.include(other.widest);
        placed = placed && other.placed && other.firstKinks >= lastKinks;
        lastKinks = std::max(lastKinks, other.lastKinks);
    }
};

// The candidates in ascending order: s-th is candidate s for b > 0, and
// found - 1 - s for b < 0 (they descend then).
inline int64_t ascendingCandidate(const Problem &problem, int64_t found, int64_t s) {
    return problem.b < 0 ? found - 1 - s : s;
}

// Placing the candidates: a walk through candidates [from, to) of the
// ascending order, passing the kinks below each from kink l on with S's
// linear form past them; at each, its estimates (step 2), the lowest
// score so far, and the largest magnitudes the bound grows with. With
// writeCheckpoints (the walk from the first kink, on one thread), it
// writes S's checkpoints as it passes, and passes the kinks after the last
// candidate for them too. A check that costs little would catch a
// candidate out of order.
template <bool kCarry>
Findings walk(const Problem &problem, const Candidates &cands, int64_t from, int64_t to, int64_t l,
              LinearForm form, bool writeCheckpoints) {
    const double *p = problem.p, *q = problem.q;
    const Kink *kinks = problem.kinks;
    const int64_t kinkCount = problem.kinkCount;
    const auto pass = [&] {
        prefetchKink(p, q, kinks, kinkCount, l);
        passKink(form, p[kinks[l].term], q[kinks[l].term], kCarry);
        ++l;
        if (writeCheckpoints && l % Layout::kCheckpointEvery == 0)
            problem.layout.checkpoints[l / Layout::kCheckpointEvery] = form;
    };
    Findings findings;
    findings.firstKinks = l;
    double previousAt = l > 0 ? kinkAt(p, q, kinks[l - 1].term) : 0.0;
    double nextAt = l < kinkCount ? kinkAt(p, q, kinks[l].term) : 0.0;
    for (int64_t s = from; s < to; ++s) {
        const int64_t c = ascendingCandidate(problem, cands.found, s);
        const double u = problem.candidate(cands.slope[c]);
        while (l < kinkCount && nextAt < u) {
            pass();
            previousAt = nextAt;
            if (l < kinkCount) nextAt = kinkAt(p, q, kinks[l].term);
        }
        findings.placed &= l == 0 || previousAt < u;
        const Estimate estimate = estimateAt(u, problem.a, problem.b, form, kCarry);
        cands.score[c] = estimate.score;
        if (!kCarry) cands.sum[c] = estimate.sum;
        if (estimate.score < findings.lowestScore ||
            (estimate.score == findings.lowestScore && c < findings.lowest)) {
            findings.lowestScore = estimate.score;
            findings.lowest = c;
        }
        findings.widest.include({std::fabs(estimate.distance), std::fabs(u),
                                 std::fabs(cands.slope[c]), std::fabs(estimate.sum),
                                 std::fabs(estimate.score),
                                 kCarry ? std::fabs(cands.slopeLow[c]) : 0.0, estimate.sumLow});
    }
    findings.lastKinks = l;
    while (writeCheckpoints && l < kinkCount) pass();
    return findings;
}

// The walk's ranges: even ranges of its steps, each cut at the first
// candidate with at least that many steps before it. A step passes a kink
// (a load of its term, mostly a cache miss) or places a candidate, and the
// kinks crowd near the middle while the candidates spread, so cutting the
// steps evenly balances the work. The steps before candidate s of the
// ascending order are s plus the kinks below it, which grows with s (else
// the walk reports a candidate out of place, and each cut stays at or past
// the one before). The cuts tile [0, found) in order.
template <typename StepsBefore>
void cutWalk(const Ranges &steps, int64_t found, StepsBefore stepsBefore, int64_t *cut) {
    cut[0] = 0;
    cut[steps.count] = found;
    for (int64_t r = 1; r < steps.count; ++r) {
        int64_t lo = cut[r - 1], hi = found;
        while (lo < hi) {
            const int64_t middle = lo + (hi - lo) / 2;
            if (stepsBefore(middle) < steps.from(r)) {
                lo = middle + 1;
            } else {
                hi = middle;
            }
        }
        cut[r] = lo;
    }
}

// The walk over every candidate. With one range, from the first kink,
// writing the checkpoints unless step 1's pass wrote them. With more, each
// range starts at the kinks below its first candidate, from the checkpoint
// before them, by the same additions and so with the same linear forms;
// the findings are merged in range order.
template <bool kCarry>
Findings walkCandidates(const Problem &problem, const Candidates &cands, const LinearForm &start,
                        bool checkpointsWritten, Team *team) {
    const Ranges steps = rangesFor(team, cands.found + problem.kinkCount);
    if (steps.count == 1)
        return walk<kCarry>(problem, cands, 0, cands.found, 0, start, !checkpointsWritten);
    const auto kinksBelowCandidate = [&](int64_t s) {
        const int64_t c = ascendingCandidate(problem, cands.found, s);
        return kinksBelow(problem.p, problem.q, problem.kinks, problem.kinkCount,
                          problem.candidate(cands.slope[c]));
    };
    int64_t cut[kMostRanges + 1];
    cutWalk(
        steps, cands.found, [&](int64_t s) { return s + kinksBelowCandidate(s); }, cut);
    Findings parts[kMostRanges];
    forEachPiece(team, steps.count, [&](int64_t r) {
        if (cut[r] == cut[r + 1]) return;
        const int64_t l = kinksBelowCandidate(cut[r]);
        const LinearForm form =
            formAt(problem.p, problem.q, problem.kinks, problem.layout.checkpoints, l, kCarry);
        parts[r] = walk<kCarry>(problem, cands, cut[r], cut[r + 1], l, form, false);
    });
    Findings findings;
    for (int64_t r = 0; r < steps.count; ++r) {
        if (cut[r] < cut[r + 1]) findings.include(parts[r]);
    }
    return findings;
}

// ---- The bound and the keep rule ----

// Candidate c's extent, for its bound. What it needs beyond the score and
// slope the walk stored is worked out again for the few candidates that
// need it, by the same operations as in the walk.
template <bool kCarry>
Extent extentOf(const Problem &problem, const Candidates &cands, int64_t c) {
    const double u = problem.candidate(cands.slope[c]);
    double sum = kCarry ? 0.0 : cands.sum[c], sumLow = 0.0;
    if (kCarry) {
        const int64_t l = kinksBelow(problem.p, problem.q, problem.kinks, problem.kinkCount, u);
        const Estimate estimate = estimateAt(
            u, problem.a, problem.b,
            formAt(problem.p, problem.q, problem.kinks, problem.layout.checkpoints, l, kCarry),
            kCarry);
        sum = estimate.sum;
        sumLow = estimate.sumLow;
    }
    return {std::fabs(u - problem.a),
            std::fabs(u),
            std::fabs(cands.slope[c]),
            std::fabs(sum),
            std::fabs(cands.score[c]),
            kCarry ? std::fabs(cands.slopeLow[c]) : 0.0,
            sumLow};
}

// The bound over every candidate, and the keep rule's threshold: H, the
// highest the exact score of the lowest estimate can be, and E*, the bound
// at the widest extent, which holds for every candidate (the bound grows
// with every magnitude), so that most candidates are dropped on it alone.
struct Threshold {
    ErrorBound error;
    double highest, widestBound;
};

template <bool kCarry>
Threshold thresholdOf(const Problem &problem, const Candidates &cands, const Findings &findings,
                      const Magnitudes &magnitudes) {
    const ErrorBound error(problem.a, problem.b, problem.n, magnitudes, false);
    const int64_t lowest = findings.lowest;
    const double highest = cands.score[lowest] + error(extentOf<kCarry>(problem, cands, lowest));
    return {error, highest, error(findings.widest)};
}

// The literal score of the interval whose midpoint is o: its slope,
// candidate and sum as the scan computes them, by the vector scans where
// the processor has them (every level gives these bits; the portable one
// branches on every sign). The lists have room for a vector's lanes.
double literalScore(const Problem &problem, double o) {
    const ScanKernels kernels = kernelsFor(selectedScanLevel());
    double mid[8] = {o}, slope[8] = {}, u[8] = {}, score[8] = {};
    kernels.slopes(mid, 1, problem.p, problem.q, problem.n, slope);
    u[0] = problem.candidate(slope[0]);
    kernels.values(u, 1, problem.a, problem.b, problem.p, problem.q, problem.n, score);
    return score[0];
}

// The keep rule's threshold lowered to the literal score of the lowest
// estimate's interval, where the running sums carry their errors (large
// problems, where many intervals survive and one exact score costs little
// beside them). Any interval's literal score F_l serves as H: a candidate
// dropped because its lowest possible score is above F_l scores strictly
// more than interval l, so it is not the first of least score; and l is
// kept, its score being within its bound. H = F_l is at most F~_l + E_l,
// and so narrows the window of scores kept from about 2E to about E.
void lowerToExactScore(const Problem &problem, const Candidates &cands, int64_t lowest,
                       Threshold &threshold, Layout::State &state) {
    const double exact = literalScore(problem, problem.mid[cands.interval(lowest)]);
    state.exactScore = exact;
    if (exact < threshold.highest) threshold.highest = exact;
}

// The keep rule over candidates [from, to): the midpoint of every interval
// whose lowest possible score is not above H goes to out, in order; returns
// how many.
template <bool kCarry>
int64_t keepCandidates(const Problem &problem, const Candidates &cands, const Threshold &threshold,
                       int64_t from, int64_t to, double *out) {
    int64_t kept = 0;
    for (int64_t c = from; c < to; ++c) {
        const double score = cands.score[c];
        if (score - threshold.widestBound <= threshold.highest &&
            score - threshold.error(extentOf<kCarry>(problem, cands, c)) <= threshold.highest)
            out[kept++] = problem.mid[cands.interval(c)];
    }
    return kept;
}

// The keep rule over every candidate: each range keeps its own in its own
// part of kept, and the parts are then moved together in range order (a
// part never moves past its start, so the moves in order overwrite
// nothing still to be read).
template <bool kCarry>
int64_t keepAll(const Problem &problem, const Candidates &cands, const Threshold &threshold,
                double *kept, Team *team) {
    const Ranges ranges = rangesFor(team, cands.found);
    int64_t counts[kMostRanges];
    forEachRange(team, ranges, [&](int64_t r, int64_t from, int64_t to) {
        counts[r] = keepCandidates<kCarry>(problem, cands, threshold, from, to, kept + from);
    });
    int64_t total = counts[0];
    for (int64_t r = 1; r < ranges.count; total += counts[r++])
        std::memmove(kept + total, kept + ranges.from(r), counts[r] * sizeof *kept);
    return total;
}

// The estimate of every candidate and its bound, for the tests.
template <bool kCarry>
void writeEstimates(const Problem &problem, const Candidates &cands, const Threshold &threshold,
                    IntervalEstimate *estimates, int64_t *estimateCount, double *commonBound) {
    for (int64_t c = 0; c < cands.found; ++c)
        estimates[c] = {cands.interval(c), cands.score[c],
                        threshold.error(extentOf<kCarry>(problem, cands, c))};
    if (estimateCount != nullptr) *estimateCount = cands.found;
    if (commonBound != nullptr) *commonBound = threshold.widestBound;
}

// Every candidate's interval, in order: what is kept should a candidate be
// out of place, which the argument rules out.
int64_t keepEvery(const Problem &problem, const Candidates &cands, double *kept) {
    for (int64_t c = 0; c < cands.found; ++c) kept[c] = problem.mid[cands.interval(c)];
    return cands.found;
}

// ---- The pruning ----

struct PruneCall {
    double a, b;
    const double *p, *q;
    int32_t n;
    const Magnitudes &magnitudes;
    const KeyedBreakpoint *sorted;
    int32_t m;
    const double *mid;
    int64_t count;
    void *scratch;
    double *kept;
    IntervalEstimate *estimates;
    int64_t *estimateCount;
    double *commonBound;
    Team *team;
};

// The pruning, with the running sums' rounding errors carried (kCarry) or
// not; without, every low part is 0.
template <bool kCarry>
int64_t prune(const PruneCall &call) {
    if (call.estimateCount != nullptr) *call.estimateCount = 0;
    const Layout layout(call.scratch, call.n, call.count);
    Layout::State &state = *layout.state;
    state = {call.p, call.q, call.count, 0, 0, kCarry, std::numeric_limits<double>::infinity()};
    Problem problem{
        call.a,     call.b, call.p,       call.q, call.n, {call.mid, call.sorted, call.m},
        call.count, layout, layout.kinks, 0};
    // Step 3, b = +-0: every candidate is a and every score a zero of some
    // sign (the sums are finite here), none below another: the first
    // interval wins.
    if (call.b == 0) {
        call.kept[0] = problem.mid[0];
        return 1;
    }
    problem.kinkCount =
        sortedKinks(call.p, call.q, call.n, call.sorted, call.m, problem.mid, call.count,
                    call.magnitudes.tinyTerms > 0, layout.kinks, layout.tinyKinks);
    const LinearForm start = startingForm(call.magnitudes);
    layout.checkpoints[0] = start;
    const FlipsFound flips =
        findFlipsAndSums<kCarry>(problem, layout.kinks, call.magnitudes, call.team);
    if (flips.ranges.count > 1) addIncreases<kCarry>(problem, flips, call.team);
    Candidates cands(layout, kCarry);
    runningSlopes<kCarry>(layout, call.count, flips.first, cands);
    const Findings findings =
        walkCandidates<kCarry>(problem, cands, start, flips.checkpointsWritten, call.team);
    state.kinkCount = static_cast<int32_t>(problem.kinkCount);
    state.ready = 1;
    if (!findings.placed) return keepEvery(problem, cands, call.kept);
    Threshold threshold = thresholdOf<kCarry>(problem, cands, findings, call.magnitudes);
    if (kCarry) lowerToExactScore(problem, cands, findings.lowest, threshold, state);
    if (call.estimates != nullptr)
        writeEstimates<kCarry>(problem, cands, threshold, call.estimates, call.estimateCount,
                               call.commonBound);
    return keepAll<kCarry>(problem, cands, threshold, call.kept, call.team);
}

}  // namespace

bool pruningApplies(double a, double b, const double *p, const double *q, int32_t n,
                    Magnitudes *magnitudes, Carry carryErrors) {
    // One pass: the sums, and a finiteness test (x - x is 0 for finite x,
    // NaN otherwise, and a NaN stays in the sum).
    // Large problems carry the sums' rounding errors along: their bound is
    // then much tighter, so that far fewer intervals survive, which pays for
    // the extra work from about 30,000 terms on (measured).
    const bool carry =
        carryErrors == Carry::Always || (carryErrors == Carry::Automatic && n >= kCarryFrom);
    magnitudes->compensated = carry;
    double slopes = 0, slopesLow = 0, offsets = 0, beta = 0, betaLow = 0;
    double weightedSlopes = 0, weightedOffsets = 0;
    double nonFinite = (a - a) + (b - b);
    int32_t tiny = 0;
    for (int32_t k = 0; k < n; ++k) {
        addCompensated(slopes, slopesLow, std::fabs(p[k]), carry);
        offsets += std::fabs(q[k]);
        // The high part of a compensated sum is the plain recursive sum.
        weightedSlopes += slopes;
        weightedOffsets += offsets;
        // S(x) past no kink: -|p| x - sign(p) q for p != 0, |q| for p = 0.
        addCompensated(beta, betaLow, p[k] == 0 ? std::fabs(q[k]) : negatedUnless(p[k] < 0, q[k]),
                       carry);
        nonFinite += (p[k] - p[k]) + (q[k] - q[k]);
        tiny += p[k] != 0 && !yieldsBreakpoint(p[k]);
    }
    // Some input is at least 2^200 in magnitude only if a sum is: a
    // recursive sum of non-negative terms is at least each of them, as
    // rounding is monotone. (A sum may also pass 2^200 without any term,
    // which only asks settledResult for nothing.)
    constexpr double kHuge = 0x1p200;  // where unusualMark marks a value
    magnitudes->unusual =
        !(std::fabs(a) < kHuge && std::fabs(b) < kHuge && slopes < kHuge && offsets < kHuge);
    if (!(nonFinite == 0)) return false;
    magnitudes->tinyTerms = tiny;
    magnitudes->slopeSum = slopes;
    magnitudes->slopeSumLow = slopesLow;
    magnitudes->offsetSum = beta;
    magnitudes->offsetSumLow = betaLow;
    return withinLimits(a, b, n, slopes, offsets, weightedSlopes, weightedOffsets, magnitudes);
}

uint64_t pruningScratchBytes(int32_t n, int64_t count) { return Layout::bytes(n, count); }

int64_t pruneIntervals(double a, double b, const double *p, const double *q, int32_t n,
                       const Magnitudes &magnitudes, const KeyedBreakpoint *sorted, int32_t m,
                       const double *mid, int64_t count, void *scratch, double *kept,
                       IntervalEstimate *estimates, int64_t *estimateCount, double *commonBound,
                       Team *team) {
    const PruneCall call{a,   b,     p,       q,    n,         magnitudes,    sorted,      m,
                         mid, count, scratch, kept, estimates, estimateCount, commonBound, team};
    return magnitudes.compensated ? prune<true>(call) : prune<false>(call);
}

// Step 8: the bound of steps 4 to 7 for candidates that are the literal
// ones, so that nothing moves (docs/pruning.md), and the keep rule again;
// count <= the intervals + 2 fits the lists.
int64_t refineCandidates(double a, double b, int32_t n, const Magnitudes &magnitudes, void *scratch,
                         double *u, int64_t count, IntervalEstimate *estimates, bool *settled) {
    const Layout::State &state = *static_cast<const Layout::State *>(scratch);
    if (settled != nullptr) *settled = false;
    if (!state.ready || count < 1) return count;
    const Layout layout(scratch, n, state.count);
    const double *p = state.p, *q = state.q;
    const bool carry = state.carry != 0;
    const ErrorBound error(a, b, n, magnitudes, true);
    double *score = layout.increase, *bound = layout.increaseLow;
    // The first round's literal score, where it took one: the list holds
    // that interval's candidate, which the first round kept.
    double highest = state.exactScore;
    for (int64_t c = 0; c < count; ++c) {
        const LinearForm form =
            formAt(p, q, layout.kinks, layout.checkpoints,
                   kinksBelow(p, q, layout.kinks, state.kinkCount, u[c]), carry);
        const Estimate estimate = estimateAt(u[c], a, b, form, carry);
        score[c] = estimate.score;
        bound[c] = error({std::fabs(estimate.distance), std::fabs(u[c]), 0.0,
                          std::fabs(estimate.sum), std::fabs(score[c]), 0.0, estimate.sumLow});
        highest = std::min(highest, score[c] + bound[c]);
        if (estimates != nullptr) estimates[c] = {c, score[c], bound[c]};
    }
    int64_t kept = 0;
    double keptHighest = highest;  // the highest exact score of the last kept
    for (int64_t c = 0; c < count; ++c) {
        if (score[c] - bound[c] <= highest) {
            u[kept++] = u[c];
            keptHighest = score[c] + bound[c];
        }
    }
    // A lone survivor is the result if its exact score, at most
    // keptHighest rounded, is certainly below 1e100: rounding is monotone,
    // so a sum that rounds below 1e100 is below it.
    if (settled != nullptr) *settled = kept == 1 && keptHighest < 1e100;
    return kept;
}

}  // namespace tarvenloch
