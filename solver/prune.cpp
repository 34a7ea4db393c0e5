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

#include "internal.h"

namespace tarvenloch {
namespace {

constexpr double kUnit = 0x1p-53;  // u: the unit roundoff of binary64
// Twice the largest error of one product or quotient that underflows
// (2^-1075): the bound's absolute floor uses it.
constexpr double kTiny = 0x1p-1074;
// Every quantity of the bound stays below these, so that none overflows.
constexpr double kLargest = 0x1p950;
constexpr double kLargestCandidate = 0x1p470;

// gamma_k = k u / (1 - k u), rounded up: k u < 2^-20 for every k used here
// (k <= 2n + 4 with n < 2^31), so gamma_k < k u (1 + 2^-19).
inline double gamma(double k) { return k * kUnit * (1 + 0x1p-10); }

// A term's kink -q/p as computed, with the term.
struct Kink {
    double at;
    int32_t term;
};

// The first index in [1, count - 1] whose sign differs from the sign at
// mid[0]; the caller knows that mid[count - 1] differs. The signs change
// once (they are monotone in the midpoint), so a search from a good guess
// finds it: outwards in doubling steps, then by halving.
int64_t flipIndex(double p, double q, const double *mid, int64_t count, bool first,
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

struct Candidate {
    int64_t interval;
    double lower;  // estimate - bound
};

// The pruning's scratch, carved from one block.
struct Layout {
    Kink *kinks;            // n + 1
    Kink *tinyKinks;        // n + 1
    double *alpha;          // n + 1
    double *beta;           // n + 1
    double *increase;       // count: the slope's increase at each interval
    Candidate *candidates;  // n + 1

    static uint64_t bytes(int32_t n, int64_t count) {
        const uint64_t terms = static_cast<uint64_t>(n < 0 ? 0 : n) + 1;
        return terms * (2 * sizeof(Kink) + 2 * sizeof(double) + sizeof(Candidate)) +
               static_cast<uint64_t>(count) * sizeof(double);
    }

    Layout(void *scratch, int32_t n) {
        const size_t terms = static_cast<size_t>(n) + 1;
        char *at = static_cast<char *>(scratch);
        candidates = reinterpret_cast<Candidate *>(at);
        at += terms * sizeof(Candidate);
        kinks = reinterpret_cast<Kink *>(at);
        at += terms * sizeof(Kink);
        tinyKinks = reinterpret_cast<Kink *>(at);
        at += terms * sizeof(Kink);
        alpha = reinterpret_cast<double *>(at);
        at += terms * sizeof(double);
        beta = reinterpret_cast<double *>(at);
        at += terms * sizeof(double);
        increase = reinterpret_cast<double *>(at);
    }
};

// The kinks -q_k/p_k of every term with p_k != 0, ascending, into kinks;
// returns how many. Those of the breakpoint terms come from the sorted
// breakpoints without a further sort: the kinks -r of positive quotients,
// in descending r, then the kinks r of the others, in ascending r. The few
// terms with 0 < |p| <= 1e-10 are sorted apart and merged in.
int32_t sortedKinks(const double *p, const double *q, int32_t n, const KeyedBreakpoint *sorted,
                    int32_t m, Kink *kinks, Kink *tiny) {
    int32_t count = 0;
    for (int32_t i = m - 1; i >= 0; --i) {
        if (sorted[i].positiveQuotient) kinks[count++] = {-sorted[i].r, sorted[i].term};
    }
    for (int32_t i = 0; i < m; ++i) {
        if (!sorted[i].positiveQuotient) kinks[count++] = {sorted[i].r, sorted[i].term};
    }
    int32_t tinyCount = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (p[k] != 0 && !yieldsBreakpoint(p[k])) tiny[tinyCount++] = {-(q[k] / p[k]), k};
    }
    if (tinyCount == 0) return count;
    const auto before = [](const Kink &x, const Kink &y) { return x.at < y.at; };
    std::sort(tiny, tiny + tinyCount, before);
    // Merge from the back, in place: the free room of kinks is at its end.
    int32_t from = count - 1, other = tinyCount - 1, to = count + tinyCount - 1;
    while (other >= 0) {
        if (from >= 0 && before(tiny[other], kinks[from])) {
            kinks[to--] = kinks[from--];
        } else {
            kinks[to--] = tiny[other--];
        }
    }
    return count + tinyCount;
}

}  // namespace

bool pruningApplies(double a, double b, const double *p, const double *q, int32_t n,
                    Magnitudes *magnitudes) {
    if (!allFinite(a, b, p, q, n)) return false;
    double slopes = 0, offsets = 0;
    for (int32_t k = 0; k < n; ++k) {
        slopes += std::fabs(p[k]);
        offsets += std::fabs(q[k]);
    }
    // A recursive sum of n non-negative terms is at least (1 - gamma_n)
    // times the exact sum; this rounds it up past that.
    const double up = 1 + 4 * gamma(static_cast<double>(n) + 2);
    magnitudes->slopes = slopes * up;
    magnitudes->offsets = offsets * up;
    // Bounds every candidate, computed or estimated, with room to spare.
    const double largestCandidate = std::fabs(a) + 2 * std::fabs(b) * magnitudes->slopes;
    const double largestSum = largestCandidate * magnitudes->slopes + magnitudes->offsets;
    // Written so that NaN or infinity fails each test.
    return magnitudes->slopes <= kLargest && magnitudes->offsets <= kLargest &&
           largestCandidate <= kLargestCandidate && std::fabs(b) * largestSum <= kLargest;
}

uint64_t pruningScratchBytes(int32_t n, int64_t count) { return Layout::bytes(n, count); }

int64_t pruneIntervals(double a, double b, const double *p, const double *q, int32_t n,
                       const Magnitudes &magnitudes, const KeyedBreakpoint *sorted, int32_t m,
                       const double *mid, int64_t count, void *scratch, double *kept,
                       IntervalEstimate *estimates, int64_t *estimateCount) {
    if (estimateCount != nullptr) *estimateCount = 0;
    // With b = +0 or -0 every candidate is a and every score a zero of some
    // sign (the sums are finite here), none below another: the first
    // interval wins.
    if (b == 0) {
        kept[0] = mid[0];
        return 1;
    }
    Layout layout(scratch, n);

    // Step 1: each term's sign flips at most once across the ascending
    // midpoints, always so that the slope grows by 2|p|. Its flip lies next
    // to its kink, found by walking the midpoints along the sorted kinks,
    // and is then made exact with the sign test the scan uses.
    const int32_t kinkCount = sortedKinks(p, q, n, sorted, m, layout.kinks, layout.tinyKinks);
    double *increase = layout.increase;
    std::fill(increase, increase + count, 0.0);
    double firstSlope = 0;  // the slope of interval 0, in kink order
    int64_t guess = 0;
    for (int32_t l = 0; l < kinkCount; ++l) {
        const int32_t k = layout.kinks[l].term;
        while (guess < count && mid[guess] < layout.kinks[l].at) ++guess;
        const bool first = nonNegative(p[k], mid[0], q[k]);
        firstSlope += first ? p[k] : -p[k];
        if (nonNegative(p[k], mid[count - 1], q[k]) == first) continue;
        increase[flipIndex(p[k], q[k], mid, count, first, guess)] += 2 * std::fabs(p[k]);
    }

    // Step 2: S(x) = sum |p_k x + q_k| is alpha_i x + beta_i when x lies
    // past the first i kinks. Terms with p = 0 add |q| everywhere.
    double *alpha = layout.alpha, *beta = layout.beta;
    double alpha0 = 0, beta0 = 0;
    for (int32_t l = 0; l < kinkCount; ++l) {
        const int32_t k = layout.kinks[l].term;
        alpha0 -= std::fabs(p[k]);
        beta0 -= p[k] > 0 ? q[k] : -q[k];
    }
    for (int32_t k = 0; k < n; ++k) {
        if (p[k] == 0) beta0 += std::fabs(q[k]);
    }
    alpha[0] = alpha0;
    beta[0] = beta0;
    for (int32_t l = 0; l < kinkCount; ++l) {
        const int32_t k = layout.kinks[l].term;
        alpha[l + 1] = alpha[l] + 2 * std::fabs(p[k]);
        beta[l + 1] = beta[l] + (p[k] > 0 ? 2 * q[k] : -2 * q[k]);
    }

    // Steps 3 to 6: for the first interval of every sign pattern, the
    // estimated candidate and score, and a bound on how far the exact score
    // can lie from the estimate.
    const double slopeSum = magnitudes.slopes, offsetSum = magnitudes.offsets;
    const double absA = std::fabs(a), absB = std::fabs(b);
    const double terms = n;
    const double slopeError = 4 * gamma(2 * terms) * slopeSum;  // |t_j - T~_j|
    const double gammaScore = gamma(terms + 4);
    const double gammaSum = 3 * gamma(2 * terms + 4);
    const double gamma2 = gamma(2), gamma5 = gamma(5);
    const double floorBase = 4 * terms * absB + 2 * absB * slopeSum + 2 * absB + 16;

    Candidate *candidates = layout.candidates;
    int64_t found = 0;
    double lowestUpper = std::numeric_limits<double>::infinity();
    double slope = firstSlope;
    int32_t below = 0;  // kinks below the estimated candidate
    for (int64_t j = 0; j < count; ++j) {
        if (j > 0) {
            if (!(increase[j] > 0)) continue;  // the signs of interval j - 1
            slope += increase[j];
        }
        const double u = slope * b + a;
        while (below < kinkCount && layout.kinks[below].at < u) ++below;
        while (below > 0 && !(layout.kinks[below - 1].at < u)) --below;
        const double sum = u * alpha[below] + beta[below];
        const double d = u - a;
        const double score = ((d * 0.5) * d) - sum * b;

        const double distance = std::fabs(d) * (1 + 4 * kUnit);  // >= |u~ - a|
        const double absU = std::fabs(u);
        const double candidateError = absB * slopeError +
                                      gamma2 * absB * (2 * std::fabs(slope) + slopeError) +
                                      2 * kUnit * absA + 2 * kTiny;  // >= |u_j - u~|
        const double farthest = distance + candidateError;           // >= |u_j - a|
        const double atCandidate =
            gammaScore * (0.5 * farthest * farthest +
                          absB * ((absU + candidateError) * slopeSum + offsetSum));
        const double moving = candidateError * (farthest + absB * slopeSum);
        const double sumError = gammaSum * (absU * slopeSum + offsetSum) + 2 * kUnit * offsetSum;
        const double atEstimate = gamma5 * 0.5 * distance * distance + absB * sumError +
                                  gamma2 * absB * std::fabs(sum);
        const double underflow = kTiny * (2 * farthest + floorBase);
        const double bound =
            2 * (atCandidate + moving + atEstimate + underflow) + 4 * kUnit * std::fabs(score);

        candidates[found] = {j, score - bound};
        lowestUpper = std::min(lowestUpper, score + bound);
        if (estimates != nullptr) estimates[found] = {j, score, bound};
        ++found;
    }
    if (estimateCount != nullptr) *estimateCount = found;

    // Step 7: keep every interval whose lowest possible score is not above
    // the lowest highest possible score; the winner is among them.
    int64_t keptCount = 0;
    for (int64_t i = 0; i < found; ++i) {
        if (candidates[i].lower <= lowestUpper) kept[keptCount++] = mid[candidates[i].interval];
    }
    return keptCount;
}

}  // namespace tarvenloch
