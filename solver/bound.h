// The pruning's error bound: its constants, gamma_k, the magnitudes it
// grows with, and the bound itself, E >= |F - F~| for an interval's exact
// score F and its estimate F~. docs/pruning.md derives it: its notation
// maps to the names here (u = kUnit, gamma_k = gamma(k), P^ = slopes, Q^
// = offsets, W^_P and W^_Q = the weighted sums), "When the path is taken"
// to withinLimits, steps 4 to 7 to the parts of ErrorBound, and "The
// bound" to their sum.
#ifndef TARVENLOCH_BOUND_H
#define TARVENLOCH_BOUND_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "internal.h"

namespace tarvenloch {

constexpr double kUnit = 0x1p-53;  // u: the unit roundoff of binary64
// The bound's absolute floor, per unit of its terms: far above the error
// of a product or quotient that underflows (at most 2^-1075), yet a normal
// number whatever it multiplies, as arithmetic on subnormal numbers costs
// a hundred times more on many processors.
constexpr double kTiny = 0x1p-968;
// Every quantity of the bound stays below these, so that none overflows.
constexpr double kLargest = 0x1p950;
constexpr double kLargestCandidate = 0x1p470;
// And where the bound is worked in a scaled range (C2'), the limits that
// keep every literal and estimated |u - a|, sum and score finite.
constexpr double kLargestShiftedDistance = 0x1p511;
constexpr double kLargestShiftedSum = 0x1p990;
constexpr double kLargestShiftedProduct = 0x1p1022;

// 2^k for -1022 <= k <= 1023, and floor(log2 x) for finite x >= 1, from
// the exponent field: the release modules import nothing from libm.
inline double powerOfTwo(int k) {
    const uint64_t bits = static_cast<uint64_t>(k + 1023) << 52;
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}
inline int exponentOf(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return static_cast<int>(bits >> 52) - 1023;
}

// gamma_k = k u / (1 - k u), rounded up: k u < 2^-20 for every k used here
// (k <= 4n + 6 with n < 2^31), so gamma_k < k u (1 + 2^-19); the factor
// 1 + 2^-10 covers that and the rounding of the product itself.
inline double gamma(double k) { return k * kUnit * (1 + 0x1p-10); }

// Notation: P^, Q^, W^_P and W^_Q from the recursive sums over the n
// terms of |p|, |q| and of their partial sums, each rounded up past the
// exact sum; then conditions (C2) and (C2'), written so that NaN or
// infinity fails each test.
inline bool withinLimits(double a, double b, int32_t n, double slopes, double offsets,
                         double weightedSlopes, double weightedOffsets, Magnitudes *magnitudes) {
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
    const double largestProduct = std::fabs(b) * largestSum;
    magnitudes->rangeShift = 0;
    if (!(magnitudes->slopes <= kLargest && magnitudes->offsets <= kLargest)) return false;
    if (largestCandidate <= kLargestCandidate && largestSum <= kLargest &&
        largestProduct <= kLargest)
        return true;
    // Past those limits, where still no score can overflow (C2'), the bound
    // is worked in a range scaled by 2^-K: K, from the exponents, brings the
    // candidates and sums within the limits, and the scores, scaled by
    // 2^-2K, too. No score overflows where every candidate, computed or
    // estimated, is at most U (|t|, |T~| <= P^ but for rounding, which the
    // factor covers with two roundings more), every |u - a| at most U + |a|,
    // and every sum of |y| at most U P^ + Q^, rounded up likewise.
    constexpr double kRoom = 1 + 0x1p-19;
    const double reach = (std::fabs(a) + std::fabs(b) * magnitudes->slopes) * kRoom;
    const double termSums = (reach * magnitudes->slopes + magnitudes->offsets) * kRoom;
    if (!(reach + std::fabs(a) <= kLargestShiftedDistance && termSums <= kLargestShiftedSum &&
          std::fabs(b) * termSums <= kLargestShiftedProduct))
        return false;
    // x < 2^(exponent(x) + 1); at least 1, as the limits are.
    const auto exponent = [](double x) { return exponentOf(std::max(x, 1.0)); };
    const int shift = std::max({exponent(largestCandidate) + 1 - exponent(kLargestCandidate),
                                exponent(largestSum) + 1 - exponent(kLargest),
                                (exponent(largestProduct) + 2 - exponent(kLargest)) / 2});
    magnitudes->rangeShift = shift;
    return largestCandidate * powerOfTwo(-shift) <= kLargestCandidate &&
           largestSum * powerOfTwo(-shift) <= kLargest &&
           largestProduct * powerOfTwo(-2 * shift) <= kLargest;
}

// The bound's inputs in the range scaled by 2^-K (withinLimits): lengths
// (a, b, the candidates, the sums S and the offsets' magnitudes) times
// 2^-K, scores times 2^-2K, rounded up: |x| 2^-K is exact unless it falls
// below 2^-1022, and adding the least subnormal covers its rounding there.
// With K = 0 every value is left as it is.
class RangeShift {
public:
    explicit RangeShift(int shift)
        : shift_(shift),
          length_(powerOfTwo(-shift)),
          score_(powerOfTwo(-2 * shift)),
          back_(powerOfTwo(2 * shift)) {}
    bool none() const { return shift_ == 0; }
    double length(double x) const { return none() ? x : std::fabs(x) * length_ + 0x1p-1074; }
    double score(double x) const { return std::fabs(x) * score_ + 0x1p-1074; }
    // A score of the scaled range back in the caller's: exact, or +inf.
    double back(double x) const { return x * back_; }

private:
    int shift_;
    double length_, score_, back_;
};

// What the bound on one estimate grows with: |u~ - a|, |u~|, |T~|, |S~(u~)|,
// |F~| and the running sum's carried error, all as computed. "The bound":
// the largest of each over all candidates, the widest extent, gives a
// bound that holds for every candidate.
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
// candidate of that extent. It grows with every field of the extent.
class ErrorBound {
public:
    // exactCandidates: the candidates are the literal ones, computed from
    // the exact slopes, so that u~ = u_j and nothing moves (step 8).
    // In a shifted range (withinLimits), a, b and the offsets' magnitudes
    // are taken there; every other input is a ratio of lengths.
    ErrorBound(double a, double b, int32_t n, const Magnitudes &magnitudes, bool exactCandidates)
        : shift_(magnitudes.rangeShift),
          slopeSum_(magnitudes.slopes),
          offsetSum_(shift_.length(magnitudes.offsets)),
          weightedSlopes_(magnitudes.weightedSlopes),
          weightedOffsets_(shift_.length(magnitudes.weightedOffsets)),
          absB_(std::fabs(shift_.length(b))) {
        a = shift_.length(a);
        const double terms = n;
        // Steps 1 and 4, (3): |t_j - T~_j| <= slopeError (+ 3u |T~_j| + 2
        // |carried error| when the errors are carried): the literal sum's
        // own rounding, at most u times the sum of its partial sums'
        // magnitudes, and the running sum's, compensated or not. Carried,
        // one |carried error| is what the argument needs; the second and
        // 3u |T~_j| are margin.
        const bool carried = magnitudes.compensated;
        const double literalSlopeError = kUnit * (1 + gamma(terms)) * weightedSlopes_;
        const double slopeError =
            literalSlopeError + (carried ? 10 * gamma(4 * terms) * gamma(4 * terms) * slopeSum_
                                         : 3 * gamma(2 * terms) * slopeSum_);
        const double scale = absB_ * (1 + gamma(2));
        // Step 4, (6): |u_j - u~| <= constant + perSlope |T~| + perLow
        // |carried error|.
        candidateConstant_ =
            exactCandidates ? 0.0 : scale * slopeError + 2 * kUnit * std::fabs(a) + 2 * kTiny;
        candidatePerSlope_ =
            exactCandidates ? 0.0 : 2 * gamma(2) * absB_ + (carried ? 3 * kUnit * scale : 0.0);
        candidatePerLow_ = exactCandidates || !carried ? 0.0 : 2 * scale;
        literalSumScale_ = kUnit * (1 + gamma(terms + 2));
        // Step 2, (5) and (5'): the rounding of S~'s last two operations,
        // and of the carried errors' own sums; without carried errors, that
        // of the plain sums.
        gammaSum_ =
            carried ? gamma(2) + 5 * gamma(2 * terms) * gamma(2 * terms) : 3 * gamma(2 * terms + 4);
        floorBase_ = 5 * terms * absB_ + 2 * absB_ * slopeSum_ + 2 * absB_ + 16;
    }

    double operator()(const Extent &e) const {
        if (shift_.none()) return inRange(e);
        return shift_.back(inRange({shift_.length(e.distance), shift_.length(e.candidate), e.slope,
                                    shift_.length(e.sum), shift_.score(e.score), e.slopeLow,
                                    shift_.length(e.sumLow)}));
    }

private:
    // The bound, in the range the inputs were taken in.
    double inRange(const Extent &e) const {
        const double distance = e.distance * (1 + 4 * kUnit);  // >= |u~ - a|
        const double candidateError =
            candidateConstant_ + candidatePerSlope_ * e.slope + candidatePerLow_ * e.slopeLow;
        const double farthest = distance + candidateError;  // >= |u_j - a|
        // Step 5, (7): evaluating F at u_j, the literal computation's own
        // rounding: of each term and of the last operations, and of the
        // recursive sum, at most u times the sum of its partial sums.
        const double farthestCandidate = e.candidate + candidateError;  // >= |u_j|
        const double atCandidate =
            gamma(5) * 0.5 * farthest * farthest +
            absB_ * (gamma(6) * (farthestCandidate * slopeSum_ + offsetSum_) +
                     literalSumScale_ * (farthestCandidate * weightedSlopes_ + weightedOffsets_));
        // Step 6, (8): F moving from u~ to u_j.
        const double moving = candidateError * (farthest + absB_ * slopeSum_);
        // Step 7, (9): the estimate's own rounding and the kinks within
        // rounding of u~.
        const double sumError = (1 + gamma(2)) * e.sumLow +
                                gammaSum_ * (e.candidate * slopeSum_ + offsetSum_) +
                                2 * kUnit * offsetSum_;
        const double atEstimate =
            gamma(5) * 0.5 * distance * distance + absB_ * sumError + gamma(2) * absB_ * e.sum;
        const double underflow = kTiny * (2 * farthest + floorBase_);
        // The bound: twice the sum, and room for the rounding of the
        // comparisons of the keep rule.
        return 2 * (atCandidate + moving + atEstimate + underflow) + 4 * kUnit * e.score;
    }

    RangeShift shift_;
    double slopeSum_, offsetSum_, weightedSlopes_, weightedOffsets_, absB_;
    double candidateConstant_, candidatePerSlope_, candidatePerLow_;
    double literalSumScale_, gammaSum_, floorBase_;
};

}  // namespace tarvenloch

#endif
