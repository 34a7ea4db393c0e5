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

// A term's kink -q/p as computed, with the term and the number of
// midpoints below it (to within one; exact for the few tiny terms).
struct Kink {
    double at;
    int32_t term;
    uint32_t guess;  // count - 1 < 2^32 for every m < 2^31
};

// The first index in [1, count - 1] whose sign differs from the sign at
// mid[0]; the caller knows that mid[count - 1] differs. The signs change
// once (they are monotone in the midpoint), so a search from a good guess
// finds it: outwards in doubling steps, then by halving.
int64_t flipIndex(double p, double q, const double *mid, int64_t count, bool first, int64_t guess) {
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

// The pruning's scratch, carved from one block: per term (n + 1 each) the
// sorted kinks, the tiny terms' kinks, alpha, beta, a position and three
// per-candidate lists (n + 2 entries each: the branch-free loops write one
// past the last entry they keep); per interval the slope's increase.
struct Layout {
    Kink *kinks;
    Kink *tinyKinks;
    double *alpha, *alphaLow;  // high parts, and the rounding errors they carry
    double *beta, *betaLow;
    int64_t *position;  // first a term's guessed flip, then a candidate's kinks below
    int64_t *interval;  // a candidate's interval
    double *slope;      // a candidate's estimated slope
    double *candidate;  // its estimated candidate
    double *score;      // its estimated score
    double *sum;        // its estimated sum of absolute values
    double *slopeLow;   // the rounding error of its slope, as the running sum carries it
    double *sumLow;     // |u~| |alpha low| + |beta low| where it lies
    double *increase;   // 2 count entries: the increases, then their rounding errors

    static constexpr uint64_t kPerTerm = 2 * sizeof(Kink) + 12 * sizeof(double);

    // What the second round needs of the first, at the start of the block.
    struct State {
        int32_t kinkCount;
        int32_t ready;  // the kinks, alpha and beta are in place
        int32_t carry;  // and the low parts of alpha and beta too
    };
    static constexpr size_t kStateBytes = 64;
    State *state;

    static uint64_t bytes(int32_t n, int64_t count) {
        const uint64_t terms = static_cast<uint64_t>(n < 0 ? 0 : n) + 2;
        return kStateBytes + terms * kPerTerm + 2 * static_cast<uint64_t>(count) * sizeof(double);
    }

    Layout(void *scratch, int32_t n) {
        const size_t terms = static_cast<size_t>(n) + 2;
        state = static_cast<State *>(scratch);
        kinks = reinterpret_cast<Kink *>(static_cast<char *>(scratch) + kStateBytes);
        tinyKinks = kinks + terms;
        alpha = reinterpret_cast<double *>(tinyKinks + terms);
        alphaLow = alpha + terms;
        beta = alphaLow + terms;
        betaLow = beta + terms;
        sumLow = betaLow + terms;
        position = reinterpret_cast<int64_t *>(sumLow + terms);
        interval = position + terms;
        slope = reinterpret_cast<double *>(interval + terms);
        candidate = slope + terms;
        score = candidate + terms;
        sum = score + terms;
        slopeLow = sum + terms;
        increase = slopeLow + terms;
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
                     literalSumScale_ *
                         (farthestCandidate * weightedSlopes_ + weightedOffsets_));
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

// The kinks -q_k/p_k of every term with p_k != 0, ascending, into kinks;
// returns how many. Those of the breakpoint terms come from the sorted
// breakpoints without a further sort: the kinks -r of positive quotients,
// in descending r, then the kinks r of the others, in ascending r. Their
// place among the midpoints follows from their place in the grid: -s[i] is
// grid entry m - i, and s[i] grid entry m + 1 + i, with the midpoint
// j = grid entry j, plus half the gap to entry j + 1. The few terms with
// 0 < |p| <= 1e-10 are sorted apart, placed by search and merged in.
int32_t sortedKinks(const double *p, const double *q, int32_t n, const KeyedBreakpoint *sorted,
                    int32_t m, const double *mid, int64_t count, bool anyTiny, Kink *kinks,
                    Kink *tiny) {
    // Every entry is written and the count moves on only for the wanted
    // ones: the signs of the quotients are as unpredictable as coin flips.
    // kinks has room for n + 2 entries, so the write past the last wanted
    // entry stays inside.
    int32_t total = 0;
    for (int32_t i = m - 1; i >= 0; --i) {
        kinks[total] = {-sorted[i].r, sorted[i].term, static_cast<uint32_t>(m - i)};
        total += sorted[i].positiveQuotient;
    }
    for (int32_t i = 0; i < m; ++i) {
        kinks[total] = {sorted[i].r, sorted[i].term, static_cast<uint32_t>(m + 1 + i)};
        total += 1 - sorted[i].positiveQuotient;
    }
    if (!anyTiny) return total;
    int32_t tinyCount = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (p[k] != 0 && !yieldsBreakpoint(p[k])) {
            const double at = -(q[k] / p[k]);
            const auto below = std::lower_bound(mid, mid + count, at) - mid;
            tiny[tinyCount++] = {at, k, static_cast<uint32_t>(below)};
        }
    }
    if (tinyCount == 0) return total;
    const auto before = [](const Kink &x, const Kink &y) { return x.at < y.at; };
    std::sort(tiny, tiny + tinyCount, before);
    // Merge from the back, in place: the free room of kinks is at its end.
    int32_t from = total - 1, other = tinyCount - 1, to = total + tinyCount - 1;
    while (other >= 0) {
        if (from >= 0 && before(tiny[other], kinks[from])) {
            kinks[to--] = kinks[from--];
        } else {
            kinks[to--] = tiny[other--];
        }
    }
    return total + tinyCount;
}

// Step 4's merge: kinksBelow[c] = the number of kinks below candidate[c],
// for candidates that ascend when walked from the last one if descending,
// else from the first. Merging costs a load and a compare per step, each
// waiting on the one before; so the merge is cut where it would have taken
// a quarter, a half and three quarters of its steps (each cut found by a
// binary search on the diagonal, as in merge-path partitioning), and the
// four parts are walked side by side, their steps overlapping. Needs
// found >= 1. Any order of candidates stays in bounds and every candidate
// is placed somewhere; step 5 checks every placement.
void placeCandidates(const Kink *kinks, int32_t kinkCount, const double *candidate, int64_t found,
                     bool descending, int64_t *kinksBelow) {
    const auto at = [&](int64_t step) { return descending ? found - 1 - step : step; };
    const auto below = [&](double x) {
        return std::partition_point(kinks, kinks + kinkCount,
                                    [x](const Kink &k) { return k.at < x; }) -
               kinks;
    };
    // The merge passes the kinks below the last candidate and places every
    // candidate: total steps. After d of them it has placed the fewest
    // candidates i such that kink d - i - 1 lies below candidate i.
    const int64_t kinksPassed = below(candidate[at(found - 1)]);
    const int64_t total = found + kinksPassed;
    constexpr int kStreams = 4;
    int64_t step[kStreams + 1], l[kStreams];
    for (int s = 0; s < kStreams; ++s) {
        const int64_t d = total * s / kStreams;
        int64_t lo = std::max<int64_t>(0, d - kinksPassed), hi = std::min(d, found);
        while (lo < hi) {
            const int64_t i = lo + (hi - lo) / 2;
            if (kinks[d - i - 1].at < candidate[at(i)]) {
                hi = i;
            } else {
                lo = i + 1;
            }
        }
        step[s] = lo;
        l[s] = d - lo;
        // Only candidates out of order could make the cuts descend; keep
        // them in order so that every candidate is placed by some part.
        if (s > 0 && step[s] < step[s - 1]) {
            step[s] = step[s - 1];
            l[s] = l[s - 1];
        }
    }
    step[kStreams] = found;
    int64_t end[kStreams];
    for (int s = 0; s < kStreams; ++s) end[s] = step[s + 1];
    const auto advance = [&](int s) {
        const int64_t c = at(step[s]);
        const bool pass = l[s] < kinkCount && kinks[l[s]].at < candidate[c];
        kinksBelow[c] = l[s];
        l[s] += pass;
        step[s] += !pass;
    };
    // A part may end long before the others: it then drops out, each part
    // taking one mispredicted branch when it does.
    bool active = true;
    while (active) {
        active = false;
        for (int s = 0; s < kStreams; ++s) {
            if (step[s] < end[s]) {
                advance(s);
                active = true;
            }
        }
    }
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

// The pruning, with the running sums' rounding errors carried (kCarry) or
// not; without, every low part is left unwritten and read as 0.
template <bool kCarry>
int64_t prune(double a, double b, const double *p, const double *q, int32_t n,
              const Magnitudes &magnitudes, const KeyedBreakpoint *sorted, int32_t m,
              const double *mid, int64_t count, void *scratch, double *kept,
              IntervalEstimate *estimates, int64_t *estimateCount, double *commonBound) {
    if (estimateCount != nullptr) *estimateCount = 0;
    // With b = +0 or -0 every candidate is a and every score a zero of some
    // sign (the sums are finite here), none below another: the first
    // interval wins.
    Layout layout(scratch, n);
    layout.state->ready = 0;
    if (b == 0) {
        kept[0] = mid[0];
        return 1;
    }

    // Step 1: each term's sign flips at most once across the ascending
    // midpoints, always so that the slope grows by 2|p|. Its flip lies next
    // to its kink, whose place among the midpoints is known; the sign test
    // the scan uses makes it exact.
    // Step 2, in the same pass: S(x) = sum |p_k x + q_k| is
    // alpha_l x + beta_l when x lies past the first l kinks.
    const int32_t kinkCount = sortedKinks(p, q, n, sorted, m, mid, count, magnitudes.tinyTerms > 0,
                                          layout.kinks, layout.tinyKinks);
    const Kink *kinks = layout.kinks;
    // Each kink's p and q, gathered first in a loop of independent loads:
    // in kink order the terms come at random, and on large problems each
    // read misses the cache. Step 5's lists are free until then.
    double *kinkP = layout.score, *kinkQ = layout.sum;
    for (int32_t l = 0; l < kinkCount; ++l) {
        kinkP[l] = p[kinks[l].term];
        kinkQ[l] = q[kinks[l].term];
    }
    constexpr bool carry = kCarry;
    layout.state->carry = kCarry;
    double *increase = layout.increase, *increaseLow = layout.increase + count;
    std::fill(increase, increase + (kCarry ? 2 : 1) * count, 0.0);
    double *alpha = layout.alpha, *beta = layout.beta;
    double *alphaLow = layout.alphaLow, *betaLow = layout.betaLow;
    alpha[0] = -magnitudes.slopeSum;  // -sum |p|, every term with p = 0 adding zero
    alphaLow[0] = -magnitudes.slopeSumLow;
    beta[0] = magnitudes.offsetSum;
    betaLow[0] = magnitudes.offsetSumLow;
    double firstSlope = 0, firstLow = 0;  // the slope of interval 0, in kink order
    for (int32_t l = 0; l < kinkCount; ++l) {
        const double pk = kinkP[l], qk = kinkQ[l];
        alpha[l + 1] = alpha[l];
        beta[l + 1] = beta[l];
        if (kCarry) {
            alphaLow[l + 1] = alphaLow[l];
            betaLow[l + 1] = betaLow[l];
        }
        addCompensated(alpha[l + 1], alphaLow[l + 1], 2 * std::fabs(pk), carry);
        addCompensated(beta[l + 1], betaLow[l + 1], negatedUnless(pk > 0, 2 * qk), carry);
        // Mostly the signs on either side of the guess differ, and then the
        // flip is there and the sign before it is the first one.
        const int64_t guess = std::min<int64_t>(std::max<int64_t>(kinks[l].guess, 1), count - 1);
        const bool before = nonNegative(pk, mid[guess - 1], qk);
        int64_t flip = guess;
        bool first = before;
        if (before == nonNegative(pk, mid[guess], qk)) {
            first = nonNegative(pk, mid[0], qk);
            flip = nonNegative(pk, mid[count - 1], qk) == first
                       ? 0  // no flip
                       : flipIndex(pk, qk, mid, count, first, guess);
        }
        addCompensated(firstSlope, firstLow, negatedUnless(first, pk), carry);
        addCompensated(increase[flip], increaseLow[flip], 2 * std::fabs(pk),
                       carry);  // [0] unread
    }

    layout.state->kinkCount = kinkCount;
    layout.state->ready = 1;

    // Step 3: the first interval of every sign pattern is a candidate (the
    // others repeat their left neighbour). Its estimated slope is the
    // running sum of the increases, and its estimated candidate follows.
    int64_t *interval = layout.interval;
    double *slope = layout.slope, *candidate = layout.candidate;
    int64_t found = 0;
    {
        double running = firstSlope, low = firstLow;
        interval[0] = 0;
        slope[0] = running;
        layout.slopeLow[0] = low;
        candidate[0] = running * b + a;
        found = 1;
        for (int64_t j = 1; j < count; ++j) {
            addCompensated(running, low, increase[j], carry);
            if (kCarry) low += increaseLow[j];
            interval[found] = j;
            slope[found] = running;
            layout.slopeLow[found] = low;
            candidate[found] = running * b + a;
            found += increase[j] > 0;
        }
    }

    // Step 4: where each estimated candidate lies among the kinks. The
    // slopes grow with the interval and rounding is monotone, so the
    // candidates ascend for b > 0 and descend for b < 0: a merge, walked in
    // ascending order, places them all.
    int64_t *kinksBelow = layout.position;
    placeCandidates(kinks, kinkCount, candidate, found, b < 0, kinksBelow);

    // Step 5: the estimated score of each candidate, the one with the
    // lowest, and the largest magnitudes of what the bound grows with.
    double *score = layout.score, *sum = layout.sum;
    bool placed = true;
    int64_t lowest = 0;
    double lowestScore = std::numeric_limits<double>::infinity();
    Extent widest{};
    for (int64_t c = 0; c < found; ++c) {
        const double u = candidate[c];
        // A check that costs little and would catch a candidate out of order.
        const int64_t l = kinksBelow[c];
        placed &= (l == 0 || kinks[l - 1].at < u) && (l == kinkCount || !(kinks[l].at < u));
        sum[c] = u * alpha[l] + beta[l];
        layout.sumLow[c] =
            kCarry ? std::fabs(u) * std::fabs(alphaLow[l]) + std::fabs(betaLow[l]) : 0.0;
        const double d = u - a;
        score[c] = ((d * 0.5) * d) - sum[c] * b;
        if (score[c] < lowestScore) {
            lowestScore = score[c];
            lowest = c;
        }
        widest.include({std::fabs(d), std::fabs(u), std::fabs(slope[c]), std::fabs(sum[c]),
                        std::fabs(score[c]), std::fabs(layout.slopeLow[c]), layout.sumLow[c]});
    }
    if (!placed) {
        // Not reachable by the argument above; keep every candidate.
        for (int64_t c = 0; c < found; ++c) kept[c] = mid[interval[c]];
        return found;
    }

    // Step 6: a bound on how far each exact score can lie from its estimate,
    // and the highest the exact score of the lowest estimate can be.
    const ErrorBound error(a, b, n, magnitudes, false);
    const auto extentOf = [&](int64_t c) {
        return Extent{std::fabs(candidate[c] - a),
                      std::fabs(candidate[c]),
                      std::fabs(slope[c]),
                      std::fabs(sum[c]),
                      std::fabs(score[c]),
                      std::fabs(layout.slopeLow[c]),
                      layout.sumLow[c]};
    };
    const double highest = score[lowest] + error(extentOf(lowest));
    // The bound grows with every magnitude, so it is largest at the largest
    // of each: most candidates are dropped on that alone.
    const double widestBound = error(widest);
    if (estimates != nullptr) {
        for (int64_t c = 0; c < found; ++c)
            estimates[c] = {interval[c], score[c], error(extentOf(c))};
        if (estimateCount != nullptr) *estimateCount = found;
        if (commonBound != nullptr) *commonBound = widestBound;
    }

    // Step 7: keep every interval whose lowest possible score is not above
    // that highest; the winner is among them.
    int64_t keptCount = 0;
    for (int64_t c = 0; c < found; ++c) {
        if (score[c] - widestBound <= highest && score[c] - error(extentOf(c)) <= highest) {
            kept[keptCount++] = mid[interval[c]];
        }
    }
    return keptCount;
}

}  // namespace

int64_t pruneIntervals(double a, double b, const double *p, const double *q, int32_t n,
                       const Magnitudes &magnitudes, const KeyedBreakpoint *sorted, int32_t m,
                       const double *mid, int64_t count, void *scratch, double *kept,
                       IntervalEstimate *estimates, int64_t *estimateCount, double *commonBound) {
    return magnitudes.compensated
               ? prune<true>(a, b, p, q, n, magnitudes, sorted, m, mid, count, scratch, kept,
                             estimates, estimateCount, commonBound)
               : prune<false>(a, b, p, q, n, magnitudes, sorted, m, mid, count, scratch, kept,
                              estimates, estimateCount, commonBound);
}

int64_t refineCandidates(double a, double b, int32_t n, const Magnitudes &magnitudes, void *scratch,
                         double *u, int64_t count, IntervalEstimate *estimates, bool *settled) {
    Layout layout(scratch, n);
    if (settled != nullptr) *settled = false;
    if (!layout.state->ready || count < 1) return count;
    const Kink *kinks = layout.kinks;
    const int32_t kinkCount = layout.state->kinkCount;
    // Step 8: the bound of step 6 for candidates that are the literal ones,
    // so that nothing moves (docs/pruning.md); count <= n + 1 fits the lists.
    const ErrorBound error(a, b, n, magnitudes, true);
    double *score = layout.score, *bound = layout.sum;
    double highest = std::numeric_limits<double>::infinity();
    for (int64_t c = 0; c < count; ++c) {
        const int64_t l = std::partition_point(kinks, kinks + kinkCount,
                                               [&](const Kink &k) { return k.at < u[c]; }) -
                          kinks;
        const double sum = u[c] * layout.alpha[l] + layout.beta[l];
        const double sumLow =
            layout.state->carry
                ? std::fabs(u[c]) * std::fabs(layout.alphaLow[l]) + std::fabs(layout.betaLow[l])
                : 0.0;
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
