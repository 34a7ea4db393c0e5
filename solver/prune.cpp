// Pruning: keeps every interval that could still hold the result and drops
// the rest, without computing any score exactly.
//
// Guarantee: the interval that the literal scan would pick (the first of
// least score) is always among the kept ones, which are written in interval
// order. Scanning the kept list exactly therefore returns the literal
// result to the bit. The argument, line by line, is in docs/pruning.md;
// the comments below name its steps.
//
// Applies only when pruningApplies() holds (every input finite, nothing in
// the bound can overflow) and the midpoints ascend.
//
// Cost: O(n + m) beyond the sort of the breakpoints, which the caller has
// done, and a sort of the few terms with 0 < |p| <= 1e-10.
#include <algorithm>
#include <cmath>
#include <limits>

#include "grid.h"
#include "internal.h"

namespace tarvenloch {
namespace {

constexpr double kUnit = 0x1p-53;  // u: the unit roundoff of binary64
// The bound's absolute floor, per unit of its terms: far above the error
// of a product or quotient that underflows (at most 2^-1075), yet a normal
// number whatever it multiplies, as arithmetic on subnormal numbers costs
// a hundred times more on many processors.
constexpr double kTiny = 0x1p-968;
// Every quantity of the bound stays below these, so that none overflows.
constexpr double kLargest = 0x1p950;
constexpr double kLargestCandidate = 0x1p470;
// From this many terms on, the running sums are compensated.
constexpr int32_t kCarryFrom = 32768;

// gamma_k = k u / (1 - k u), rounded up: k u < 2^-20 for every k used here
// (k <= 4n + 6 with n < 2^31), so gamma_k < k u (1 + 2^-19); the factor
// 1 + 2^-10 covers that and the rounding of the product itself.
inline double gamma(double k) { return k * kUnit * (1 + 0x1p-10); }

// A kink -q/p of a term with p != 0. Its position is computed when it is
// needed, as -(q / p): for a breakpoint term that is the grid entry +-r
// exactly (the breakpoint stores the quotient or its negation), and for
// the few others the kink itself. Eight bytes a term, where keeping the
// position too would take sixteen.
struct Kink {
    uint32_t term;   // the term; bit 31, once step 1 is done: its sign at the first midpoint
    uint32_t index;  // an interval: the guess of the term's flip, then the flip; in step 3,
                     // the interval of candidate (not kink) number i
};
constexpr uint32_t kTermBits = 0x7fffffffu;

inline double kinkAt(const double *p, const double *q, uint32_t term) {
    const uint32_t k = term & kTermBits;
    return -(q[k] / p[k]);
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
        const uint32_t k = kinks[l + kPrefetchAhead].term & kTermBits;
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

// S(x) = alpha x + beta for x past the first l kinks (step 2), with the
// rounding errors the running sums carry (0 when they carry none).
struct LinearForm {
    double alpha, alphaLow, beta, betaLow;
};

// The pruning's scratch, carved from one block, for n terms and count
// intervals. Its bytes past the state are not read before pruneIntervals
// writes them, so a caller may use them until then (the pruned path sorts
// its breakpoints there). Per term, with as many breakpoints as terms:
//   increase     16 bytes: the slope's increase at each interval; then, in
//                place, each candidate's estimated slope, and after those
//                its estimated score (so at least 2(n + 2) entries)
//   increaseLow  16 bytes: the increases' rounding errors; then, in place,
//                each candidate's slope's carried error. Without carried
//                errors, each candidate's estimated sum instead, so that
//                smaller problems need not work it out again.
//   kinks         8 bytes (n + 2 entries: the branch-free loops write one
//                past the last entry they keep)
//   tinyKinks    16 bytes, touched only when some 0 < |p| <= 1e-10
//   checkpoints  S's linear form past every 64th kink: half a byte
struct Layout {
    // What the second round needs of the first, at the start of the block.
    struct State {
        const double *p, *q;
        int64_t count;
        int32_t kinkCount;
        int32_t ready;  // the kinks and checkpoints are in place
        int32_t carry;  // and carry the running sums' rounding errors
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
    static uint64_t bytes(int32_t n, int64_t count) {
        return kStateBytes + (increaseEntries(n, count) + static_cast<uint64_t>(count)) * 8 +
               terms(n) * (sizeof(Kink) + sizeof(TinyKink)) +
               (terms(n) / kCheckpointEvery + 2) * sizeof(LinearForm);
    }

    Layout(void *scratch, int32_t n, int64_t count) {
        state = static_cast<State *>(scratch);
        increase = reinterpret_cast<double *>(static_cast<char *>(scratch) + kStateBytes);
        increaseLow = increase + increaseEntries(n, count);
        kinks = reinterpret_cast<Kink *>(increaseLow + count);
        tinyKinks = reinterpret_cast<TinyKink *>(kinks + terms(n));
        checkpoints = reinterpret_cast<LinearForm *>(tinyKinks + terms(n));
    }
};

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

// What the bound on one estimate grows with: |u~ - a|, |u~|, |T~|, |S~(u~)|,
// |F~| and the running sum's carried error, all as computed.
struct Extent {
    double distance, candidate, slope, sum, score;
    double slopeLow;  // |the running sum's carried error|
    double sumLow;    // |u~| |alpha low| + |beta low| where u~ lies

    void include(const Extent &other) {
        sumLow = std::max(sumLow, other.sumLow);
        distance = std::max(distance, other.distance);
        candidate = std::max(candidate, other.candidate);
        slope = std::max(slope, other.slope);
        slopeLow = std::max(slopeLow, other.slopeLow);
        sum = std::max(sum, other.sum);
        score = std::max(score, other.score);
    }
};

// E >= |F - F~|: the exact score's distance from its estimate, for a
// candidate of that extent (docs/pruning.md derives each term). It grows
// with every field of the extent.
class ErrorBound {
public:
    // exactCandidates: the candidates are the literal ones, computed from
    // the exact slopes, so that u~ = u_j and nothing moves.
    ErrorBound(double a, double b, int32_t n, const Magnitudes &magnitudes, bool exactCandidates)
        : slopeSum_(magnitudes.slopes),
          offsetSum_(magnitudes.offsets),
          weightedSlopes_(magnitudes.weightedSlopes),
          weightedOffsets_(magnitudes.weightedOffsets),
          absB_(std::fabs(b)) {
        const double terms = n;
        // |t_j - T~_j| <= slopeError (+ 3u |T~_j| + 2 |carried error| when
        // the errors are carried): the literal sum's own rounding, at most u
        // times the sum of its partial sums' magnitudes, and the running
        // sum's, compensated or not. Carried, one |carried error| is what
        // the argument needs; the second and 3u |T~_j| are margin.
        const bool carried = magnitudes.compensated;
        const double literalSlopeError = kUnit * (1 + gamma(terms)) * weightedSlopes_;
        const double slopeError =
            literalSlopeError + (carried ? 10 * gamma(4 * terms) * gamma(4 * terms) * slopeSum_
                                         : 3 * gamma(2 * terms) * slopeSum_);
        const double scale = absB_ * (1 + gamma(2));
        // |u_j - u~| <= constant + perSlope |T~| + perLow |carried error|
        candidateConstant_ =
            exactCandidates ? 0.0 : scale * slopeError + 2 * kUnit * std::fabs(a) + 2 * kTiny;
        candidatePerSlope_ =
            exactCandidates ? 0.0 : 2 * gamma(2) * absB_ + (carried ? 3 * kUnit * scale : 0.0);
        candidatePerLow_ = exactCandidates || !carried ? 0.0 : 2 * scale;
        literalSumScale_ = kUnit * (1 + gamma(terms + 2));
        // The rounding of S~'s last two operations, and of the carried
        // errors' own sums; without carried errors, that of the plain sums.
        gammaSum_ =
            carried ? gamma(2) + 5 * gamma(2 * terms) * gamma(2 * terms) : 3 * gamma(2 * terms + 4);
        floorBase_ = 5 * terms * absB_ + 2 * absB_ * slopeSum_ + 2 * absB_ + 16;
    }

    double operator()(const Extent &e) const {
        const double distance = e.distance * (1 + 4 * kUnit);  // >= |u~ - a|
        const double candidateError =
            candidateConstant_ + candidatePerSlope_ * e.slope + candidatePerLow_ * e.slopeLow;
        const double farthest = distance + candidateError;  // >= |u_j - a|
        // Evaluating F at u_j, the literal computation's own rounding: of
        // each term and of the last operations, and of the recursive sum,
        // at most u times the sum of its partial sums.
        const double farthestCandidate = e.candidate + candidateError;  // >= |u_j|
        const double atCandidate =
            gamma(5) * 0.5 * farthest * farthest +
            absB_ * (gamma(6) * (farthestCandidate * slopeSum_ + offsetSum_) +
                     literalSumScale_ * (farthestCandidate * weightedSlopes_ + weightedOffsets_));
        // F moving from u~ to u_j.
        const double moving = candidateError * (farthest + absB_ * slopeSum_);
        // The estimate's own rounding and the kinks within rounding of u~.
        const double sumError = (1 + gamma(2)) * e.sumLow +
                                gammaSum_ * (e.candidate * slopeSum_ + offsetSum_) +
                                2 * kUnit * offsetSum_;
        const double atEstimate =
            gamma(5) * 0.5 * distance * distance + absB_ * sumError + gamma(2) * absB_ * e.sum;
        const double underflow = kTiny * (2 * farthest + floorBase_);
        // Twice the sum, and room for the rounding of the comparisons.
        return 2 * (atCandidate + moving + atEstimate + underflow) + 4 * kUnit * e.score;
    }

private:
    double slopeSum_, offsetSum_, weightedSlopes_, weightedOffsets_, absB_;
    double candidateConstant_, candidatePerSlope_, candidatePerLow_;
    double literalSumScale_, gammaSum_, floorBase_;
};

// Step 2, past one more kink: the term's sign turns, so alpha grows by
// 2|p| and beta by 2 sign(p) q.
inline void passKink(LinearForm &form, double p, double q, bool carry) {
    addCompensated(form.alpha, form.alphaLow, 2 * std::fabs(p), carry);
    addCompensated(form.beta, form.betaLow, negatedUnless(p > 0, 2 * q), carry);
}

// S~(x) = x alpha + beta from S's linear form past the kinks below x, and
// what the running sums' carried errors add to its bound: |x| |alpha low| +
// |beta low| (0 when nothing is carried).
struct SumEstimate {
    double sum, low;
};
inline SumEstimate estimateSum(double x, const LinearForm &form, bool carry) {
    return {x * form.alpha + form.beta,
            carry ? std::fabs(x) * std::fabs(form.alphaLow) + std::fabs(form.betaLow) : 0.0};
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
    for (int64_t k = from; k < l; ++k) {
        const uint32_t term = kinks[k].term & kTermBits;
        passKink(form, p[term], q[term], carry);
    }
    return form;
}

// The kinks -q_k/p_k of every term with p_k != 0, ascending, into kinks;
// returns how many. Those of the breakpoint terms come from the sorted
// breakpoints without a further sort: the kinks -r of positive quotients,
// in descending r, then the kinks r of the others, in ascending r. Their
// place among the midpoints follows from their place in the grid: -s[i] is
// grid entry m - i, and s[i] grid entry m + 1 + i, with the midpoint
// j = grid entry j, plus half the gap to entry j + 1. The few terms with
// 0 < |p| <= 1e-10 are sorted apart, placed by search and merged in.
int32_t sortedKinks(const double *p, const double *q, int32_t n, const KeyedBreakpoint *sorted,
                    int32_t m, const Midpoints &mid, int64_t count, bool anyTiny, Kink *kinks,
                    TinyKink *tiny) {
    // Every entry is written and the count moves on only for the wanted
    // ones: the signs of the quotients are as unpredictable as coin flips.
    // kinks has room for n + 2 entries, so the write past the last wanted
    // entry stays inside. (One pass, not shared with a team: at 10^6 terms
    // sharing it took longer than the pass itself.)
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
    if (!anyTiny) return total;
    int32_t tinyCount = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (p[k] != 0 && !yieldsBreakpoint(p[k])) {
            const double at = -(q[k] / p[k]);
            int64_t lo = 0, hi = count;  // the first midpoint not below at
            while (lo < hi) {
                const int64_t middle = lo + (hi - lo) / 2;
                if (mid[middle] < at) {
                    lo = middle + 1;
                } else {
                    hi = middle;
                }
            }
            tiny[tinyCount++] = {at, static_cast<uint32_t>(k), static_cast<uint32_t>(lo)};
        }
    }
    if (tinyCount == 0) return total;
    std::sort(tiny, tiny + tinyCount,
              [](const TinyKink &x, const TinyKink &y) { return x.at < y.at; });
    // Merge from the back, in place: the free room of kinks is at its end.
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
    if (!(nonFinite == 0)) return false;
    magnitudes->tinyTerms = tiny;
    magnitudes->slopeSum = slopes;
    magnitudes->slopeSumLow = slopesLow;
    magnitudes->offsetSum = beta;
    magnitudes->offsetSumLow = betaLow;
    // A recursive sum of n non-negative terms is at least (1 - gamma_n)
    // times the exact sum; this rounds it up past that.
    const double up = 1 + 4 * gamma(static_cast<double>(n) + 2);
    magnitudes->slopes = slopes * up;
    // A recursive sum of n computed partial sums, each at least (1 - gamma_n)
    // times the exact one, is at least (1 - 2 gamma_n) times the exact sum
    // of the exact partial sums; this rounds it up past that. Each is at most
    // n times the plain sum, so nothing here can overflow where that cannot.
    const double weightedUp = 1 + 4 * gamma(2 * static_cast<double>(n) + 2);
    magnitudes->weightedSlopes = weightedSlopes * weightedUp;
    magnitudes->weightedOffsets = weightedOffsets * weightedUp;
    magnitudes->offsets = offsets * up;
    // Bounds every candidate, computed or estimated, with room to spare.
    const double largestCandidate = std::fabs(a) + 2 * std::fabs(b) * magnitudes->slopes;
    const double largestSum = largestCandidate * magnitudes->slopes + magnitudes->offsets;
    // Written so that NaN or infinity fails each test.
    return magnitudes->slopes <= kLargest && magnitudes->offsets <= kLargest &&
           largestCandidate <= kLargestCandidate && largestSum <= kLargest &&
           std::fabs(b) * largestSum <= kLargest;
}

uint64_t pruningScratchBytes(int32_t n, int64_t count) { return Layout::bytes(n, count); }

namespace {

// What step 5 finds over some of the candidates.
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

// The pruning, with the running sums' rounding errors carried (kCarry) or
// not; without, every low part is 0. With a team, the passes over the
// kinks and the candidates are cut into ranges shared among its threads,
// wherever each entry's values do not depend on the others; the running
// sums stay on one thread, in the same order, so every value is the one
// the serial passes give.
template <bool kCarry>
int64_t prune(double a, double b, const double *p, const double *q, int32_t n,
              const Magnitudes &magnitudes, const KeyedBreakpoint *sorted, int32_t m,
              const double *midList, int64_t count, void *scratch, double *kept,
              IntervalEstimate *estimates, int64_t *estimateCount, double *commonBound,
              Team *team) {
    constexpr bool carry = kCarry;
    if (estimateCount != nullptr) *estimateCount = 0;
    const Midpoints mid{midList, sorted, m};
    Layout layout(scratch, n, count);
    Layout::State &state = *layout.state;
    state.p = p;
    state.q = q;
    state.count = count;
    state.ready = 0;
    // With b = +0 or -0 every candidate is a and every score a zero of some
    // sign (the sums are finite here), none below another: the first
    // interval wins.
    if (b == 0) {
        kept[0] = mid[0];
        return 1;
    }

    // Step 1: each term's sign flips at most once across the ascending
    // midpoints, always so that the slope grows by 2|p|. Its flip lies next
    // to its kink, whose place among the midpoints is known; the sign test
    // the scan uses makes it exact. Each kink's flip, and its sign at the
    // first midpoint, depend on that kink alone.
    Kink *kinks = layout.kinks;
    const int32_t kinkCount = sortedKinks(p, q, n, sorted, m, mid, count, magnitudes.tinyTerms > 0,
                                          kinks, layout.tinyKinks);
    double *increase = layout.increase, *increaseLow = layout.increaseLow;
    LinearForm *checkpoints = layout.checkpoints;
    const LinearForm start = {-magnitudes.slopeSum, -magnitudes.slopeSumLow, magnitudes.offsetSum,
                              magnitudes.offsetSumLow};
    checkpoints[0] = start;
    // Ranges of kinks, each with the least and the greatest of its flips
    // (past 0, which means none: increase[0] is never read).
    const int64_t ranges = rangesFor(team);
    const int64_t rangeSize = (kinkCount + ranges - 1) / ranges;
    const auto rangeStart = [&](int64_t r) { return std::min<int64_t>(kinkCount, r * rangeSize); };
    uint32_t leastFlip[kMostRanges], greatestFlip[kMostRanges];
    // The slope of interval 0 and S's linear form (with its checkpoints),
    // each summed in kink order. They need nothing of the flips but each
    // kink's sign at the first midpoint, which is the sign before its flip
    // (the signs change at most once), so with a team two threads take one
    // each while the others find the flips: the sums are the same. Each is
    // summed in locals and stored once: the other threads read this frame's
    // variables all through the pass, and a store to their cache line at
    // every kink would make each of them wait on it.
    double firstSlope = 0, firstLow = 0;
    const double firstMid = mid[0];
    const auto formSums = [&] {
        LinearForm form = start;
        for (int64_t l = 0; l < kinkCount; ++l) {
            prefetchKink(p, q, kinks, kinkCount, l);
            const uint32_t term = kinks[l].term & kTermBits;
            passKink(form, p[term], q[term], carry);
            if ((l + 1) % Layout::kCheckpointEvery == 0)
                checkpoints[(l + 1) / Layout::kCheckpointEvery] = form;
        }
    };
    const auto firstSlopeSum = [&] {
        double slope = 0, low = 0;
        for (int64_t l = 0; l < kinkCount; ++l) {
            prefetchKink(p, q, kinks, kinkCount, l);
            const uint32_t term = kinks[l].term & kTermBits;
            const double pk = p[term];
            addCompensated(slope, low, negatedUnless(nonNegative(pk, firstMid, q[term]), pk),
                           carry);
        }
        firstSlope = slope;
        firstLow = low;
    };
    const int64_t serialPieces = team == nullptr ? 0 : 2;
    forEachPiece(team, ranges + serialPieces, [&](int64_t piece) {
        if (piece < serialPieces) {
            if (piece == 0) {
                formSums();
            } else {
                firstSlopeSum();
            }
            return;
        }
        const int64_t r = piece - serialPieces;
        // The increases start at 0; each range clears its share of them.
        const int64_t cleared = (count + ranges - 1) / ranges;
        const int64_t clearFrom = std::min(count, r * cleared);
        const int64_t clearTo = std::min(count, clearFrom + cleared);
        std::fill(increase + clearFrom, increase + clearTo, 0.0);
        if (kCarry) std::fill(increaseLow + clearFrom, increaseLow + clearTo, 0.0);
        uint32_t least = ~0u, greatest = 0;
        for (int64_t l = rangeStart(r); l < rangeStart(r + 1); ++l) {
            prefetchKink(p, q, kinks, kinkCount, l);
            const uint32_t term = kinks[l].term;
            const double pk = p[term], qk = q[term];
            // Mostly the signs on either side of the guess differ, and then
            // the flip is there and the sign before it is the first one.
            const int64_t guess =
                std::min<int64_t>(std::max<int64_t>(kinks[l].index, 1), count - 1);
            const bool before = nonNegative(pk, mid[guess - 1], qk);
            int64_t flip = guess;
            bool first = before;
            if (before == nonNegative(pk, mid[guess], qk)) {
                first = nonNegative(pk, mid[0], qk);
                flip = nonNegative(pk, mid[count - 1], qk) == first
                           ? 0  // no flip
                           : flipIndex(pk, qk, mid, count, first, guess);
            }
            // With a team, the serial sums read the terms meanwhile: only
            // the flip is written then.
            if (team == nullptr) kinks[l].term = term | static_cast<uint32_t>(first) << 31;
            kinks[l].index = static_cast<uint32_t>(flip);
            if (flip > 0) {
                least = std::min(least, static_cast<uint32_t>(flip));
                greatest = std::max(greatest, static_cast<uint32_t>(flip));
            }
        }
        leastFlip[r] = least;
        greatestFlip[r] = greatest;
    });

    // The slope of interval 0 (without a team), and the increase at each
    // interval, each summed in kink order. With a team, the ranges add the
    // increases where no other range has a flip; the flips that two ranges
    // share are added afterwards by one thread, in kink order. So every sum
    // is taken in kink order, as without a team.
    const auto addIncrease = [&](int64_t l) {
        const uint32_t flip = kinks[l].index;
        addCompensated(increase[flip], increaseLow[flip],
                       2 * std::fabs(p[kinks[l].term & kTermBits]),
                       carry);  // [0] unread
    };
    if (team == nullptr) {
        for (int32_t l = 0; l < kinkCount; ++l) {
            prefetchKink(p, q, kinks, kinkCount, l);
            const uint32_t term = kinks[l].term;
            addCompensated(firstSlope, firstLow,
                           negatedUnless(term >> 31 != 0, p[term & kTermBits]), carry);
            addIncrease(l);
        }
    } else {
        // A flip is a range's own when it is past every earlier range's and
        // before every later range's.
        uint32_t before[kMostRanges], after[kMostRanges];
        for (int64_t r = 0; r < ranges; ++r)
            before[r] = r == 0 ? 0 : std::max(before[r - 1], greatestFlip[r - 1]);
        for (int64_t r = ranges - 1; r >= 0; --r)
            after[r] = r == ranges - 1 ? ~0u : std::min(after[r + 1], leastFlip[r + 1]);
        const auto own = [&](int64_t r, uint32_t flip) {
            return flip > before[r] && flip < after[r];
        };
        // Each range notes the first and the last of its kinks whose flips
        // it does not own (mostly a few at its ends), so that the serial
        // pass reads only the stretch between.
        int64_t firstShared[kMostRanges], lastShared[kMostRanges];
        forEachPiece(team, ranges, [&](int64_t r) {
            int64_t first = rangeStart(r + 1), last = first - 1;
            for (int64_t l = rangeStart(r); l < rangeStart(r + 1); ++l) {
                prefetchKink(p, q, kinks, kinkCount, l);
                const uint32_t flip = kinks[l].index;
                if (own(r, flip)) {
                    addIncrease(l);
                } else if (flip > 0) {
                    first = std::min(first, l);
                    last = l;
                }
            }
            firstShared[r] = first;
            lastShared[r] = last;
        });
        for (int64_t r = 0; r < ranges; ++r) {
            for (int64_t l = firstShared[r]; l <= lastShared[r]; ++l) {
                const uint32_t flip = kinks[l].index;
                if (flip > 0 && !own(r, flip)) addIncrease(l);
            }
        }
    }

    // Step 3: the first interval of every sign pattern is a candidate (the
    // others repeat their left neighbour). Its estimated slope is the
    // running sum of the increases, and its estimated candidate follows.
    // Candidate number c takes the place of interval c's increase, which is
    // read by then (c <= j), and keeps its interval where kink c's flip was.
    // Without carried errors, every low part is 0 and the room of the
    // slopes' errors keeps the candidates' sums instead.
    double *slope = increase, *slopeLow = kCarry ? increaseLow : nullptr;
    double *sums = kCarry ? nullptr : increaseLow;
    int64_t found = 0;
    {
        double running = firstSlope, low = firstLow;
        kinks[0].index = 0;
        slope[0] = running;
        if (kCarry) slopeLow[0] = low;
        found = 1;
        for (int64_t j = 1; j < count; ++j) {
            const double step = increase[j];
            addCompensated(running, low, step, carry);
            if (kCarry) low += increaseLow[j];
            kinks[found].index = static_cast<uint32_t>(j);
            slope[found] = running;
            if (kCarry) slopeLow[found] = low;
            found += step > 0;
        }
    }
    const auto candidateOf = [&](int64_t c) { return slope[c] * b + a; };

    // Steps 2, 4 and 5: the estimated candidates ascend for b > 0 and
    // descend for b < 0 (the slopes grow with the interval and rounding is
    // monotone), so a walk through them in ascending order passes the kinks
    // in order, keeping S's linear form up to date, with a checkpoint of it
    // every 64 kinks; at each candidate, the estimated score, the lowest so
    // far, and the largest magnitudes of what the bound grows with. A check
    // that costs little would catch a candidate out of order.
    double *score = increase + found;
    const bool descending = b < 0;
    const auto walk = [&](int64_t from, int64_t to, int64_t l, LinearForm form, bool write) {
        Findings findings;
        findings.firstKinks = l;
        double previousAt = l > 0 ? kinkAt(p, q, kinks[l - 1].term) : 0.0;
        double nextAt = l < kinkCount ? kinkAt(p, q, kinks[l].term) : 0.0;
        for (int64_t s = from; s < to; ++s) {
            const int64_t c = descending ? found - 1 - s : s;
            const double u = candidateOf(c);
            while (l < kinkCount && nextAt < u) {
                prefetchKink(p, q, kinks, kinkCount, l);
                const uint32_t term = kinks[l].term & kTermBits;
                passKink(form, p[term], q[term], carry);
                ++l;
                if (write && l % Layout::kCheckpointEvery == 0)
                    checkpoints[l / Layout::kCheckpointEvery] = form;
                previousAt = nextAt;
                if (l < kinkCount) nextAt = kinkAt(p, q, kinks[l].term);
            }
            findings.placed &= l == 0 || previousAt < u;
            const auto [sum, sumLow] = estimateSum(u, form, carry);
            const double d = u - a;
            score[c] = ((d * 0.5) * d) - sum * b;
            if (!kCarry) sums[c] = sum;
            if (score[c] < findings.lowestScore ||
                (score[c] == findings.lowestScore && c < findings.lowest)) {
                findings.lowestScore = score[c];
                findings.lowest = c;
            }
            findings.widest.include({std::fabs(d), std::fabs(u), std::fabs(slope[c]),
                                     std::fabs(sum), std::fabs(score[c]),
                                     kCarry ? std::fabs(slopeLow[c]) : 0.0, sumLow});
        }
        findings.lastKinks = l;
        // The kinks past the last candidate, for the checkpoints.
        for (; write && l < kinkCount;) {
            const uint32_t term = kinks[l].term & kTermBits;
            passKink(form, p[term], q[term], carry);
            ++l;
            if (l % Layout::kCheckpointEvery == 0) checkpoints[l / Layout::kCheckpointEvery] = form;
        }
        return findings;
    };
    Findings findings;
    if (team == nullptr) {
        findings = walk(0, found, 0, start, true);
    } else {
        // Each range of the walk from the checkpoint before its first
        // candidate, by the same additions, so with the same linear forms.
        // A step of the walk passes a kink (a load of its term, mostly a
        // cache miss) or places a candidate, and the kinks crowd near the
        // middle while the candidates spread: the ranges are cut where the
        // walk has taken equal numbers of steps, the candidates walked plus
        // the kinks below the next (which grows with the candidate, as the
        // walk's order ascends).
        const auto stepsBefore = [&](int64_t s) {
            return s +
                   kinksBelow(p, q, kinks, kinkCount, candidateOf(descending ? found - 1 - s : s));
        };
        const int64_t pieces = rangesFor(team);
        const int64_t steps = found + kinkCount;
        int64_t cut[kMostRanges + 1];
        cut[0] = 0;
        cut[pieces] = found;
        for (int64_t r = 1; r < pieces; ++r) {
            // The first candidate with at least r / pieces of the steps
            // before it (or the previous cut, should the candidates not
            // ascend, which the walk then reports).
            int64_t lo = cut[r - 1], hi = found;
            while (lo < hi) {
                const int64_t middle = lo + (hi - lo) / 2;
                if (stepsBefore(middle) < steps * r / pieces) {
                    lo = middle + 1;
                } else {
                    hi = middle;
                }
            }
            cut[r] = lo;
        }
        Findings parts[kMostRanges];
        forEachPiece(team, pieces, [&](int64_t piece) {
            const int64_t from = cut[piece], to = cut[piece + 1];
            if (from == to) return;
            const int64_t l = kinksBelow(p, q, kinks, kinkCount,
                                         candidateOf(descending ? found - 1 - from : from));
            parts[piece] = walk(from, to, l, formAt(p, q, kinks, checkpoints, l, carry), false);
        });
        for (int64_t piece = 0; piece < pieces; ++piece) {
            if (cut[piece] < cut[piece + 1]) findings.include(parts[piece]);
        }
    }
    state.kinkCount = kinkCount;
    state.carry = kCarry;
    state.ready = 1;
    if (!findings.placed) {
        // Not reachable by the argument above; keep every candidate.
        for (int64_t c = 0; c < found; ++c) kept[c] = mid[kinks[c].index];
        return found;
    }

    // Step 6: a bound on how far each exact score can lie from its estimate,
    // and the highest the exact score of the lowest estimate can be. What a
    // candidate's bound needs beyond its score and slope is worked out again
    // for the few that need it, by the same operations as in the walk.
    const ErrorBound error(a, b, n, magnitudes, false);
    const auto extentOf = [&](int64_t c) {
        const double u = candidateOf(c);
        double sum = kCarry ? 0.0 : sums[c], sumLow = 0.0;
        if (kCarry) {
            const LinearForm form =
                formAt(p, q, kinks, checkpoints, kinksBelow(p, q, kinks, kinkCount, u), carry);
            const SumEstimate estimate = estimateSum(u, form, carry);
            sum = estimate.sum;
            sumLow = estimate.low;
        }
        return Extent{std::fabs(u - a),
                      std::fabs(u),
                      std::fabs(slope[c]),
                      std::fabs(sum),
                      std::fabs(score[c]),
                      kCarry ? std::fabs(slopeLow[c]) : 0.0,
                      sumLow};
    };
    const int64_t lowest = findings.lowest;
    const double highest = score[lowest] + error(extentOf(lowest));
    // The bound grows with every magnitude, so it is largest at the largest
    // of each: most candidates are dropped on that alone.
    const double widestBound = error(findings.widest);
    if (estimates != nullptr) {
        for (int64_t c = 0; c < found; ++c)
            estimates[c] = {kinks[c].index, score[c], error(extentOf(c))};
        if (estimateCount != nullptr) *estimateCount = found;
        if (commonBound != nullptr) *commonBound = widestBound;
    }

    // Step 7: keep every interval whose lowest possible score is not above
    // that highest; the winner is among them. With a team, the ranges mark
    // the dropped candidates (a NaN score) and one thread lists the others.
    const auto keeps = [&](int64_t c) {
        return score[c] - widestBound <= highest && score[c] - error(extentOf(c)) <= highest;
    };
    int64_t keptCount = 0;
    if (team == nullptr) {
        for (int64_t c = 0; c < found; ++c) {
            if (keeps(c)) kept[keptCount++] = mid[kinks[c].index];
        }
        return keptCount;
    }
    forEachRange(team, found, [&](int64_t from, int64_t to) {
        for (int64_t c = from; c < to; ++c) {
            if (!keeps(c)) score[c] = std::numeric_limits<double>::quiet_NaN();
        }
    });
    for (int64_t c = 0; c < found; ++c) {
        if (score[c] == score[c]) kept[keptCount++] = mid[kinks[c].index];
    }
    return keptCount;
}

}  // namespace

int64_t pruneIntervals(double a, double b, const double *p, const double *q, int32_t n,
                       const Magnitudes &magnitudes, const KeyedBreakpoint *sorted, int32_t m,
                       const double *mid, int64_t count, void *scratch, double *kept,
                       IntervalEstimate *estimates, int64_t *estimateCount, double *commonBound,
                       Team *team) {
    return magnitudes.compensated
               ? prune<true>(a, b, p, q, n, magnitudes, sorted, m, mid, count, scratch, kept,
                             estimates, estimateCount, commonBound, team)
               : prune<false>(a, b, p, q, n, magnitudes, sorted, m, mid, count, scratch, kept,
                              estimates, estimateCount, commonBound, team);
}

int64_t refineCandidates(double a, double b, int32_t n, const Magnitudes &magnitudes, void *scratch,
                         double *u, int64_t count, IntervalEstimate *estimates, bool *settled) {
    const Layout::State &state = *static_cast<const Layout::State *>(scratch);
    if (settled != nullptr) *settled = false;
    if (!state.ready || count < 1) return count;
    const Layout layout(scratch, n, state.count);
    const double *p = state.p, *q = state.q;
    const bool carry = state.carry != 0;
    // Step 8: the bound of step 6 for candidates that are the literal ones,
    // so that nothing moves (docs/pruning.md); count <= n + 1 fits the lists.
    const ErrorBound error(a, b, n, magnitudes, true);
    double *score = layout.increase, *bound = layout.increaseLow;
    double highest = std::numeric_limits<double>::infinity();
    for (int64_t c = 0; c < count; ++c) {
        const LinearForm form =
            formAt(p, q, layout.kinks, layout.checkpoints,
                   kinksBelow(p, q, layout.kinks, state.kinkCount, u[c]), carry);
        const auto [sum, sumLow] = estimateSum(u[c], form, carry);
        const double d = u[c] - a;
        score[c] = ((d * 0.5) * d) - sum * b;
        bound[c] = error(
            {std::fabs(d), std::fabs(u[c]), 0.0, std::fabs(sum), std::fabs(score[c]), 0.0, sumLow});
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
