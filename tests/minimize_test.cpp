#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "problems.h"
#include "reference.h"
#include "tarvenloch.h"

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

double solve(double a, double b, const std::vector<double> &p, const std::vector<double> &q,
             int32_t n) {
    double u = -12345;
    EXPECT_TRUE(minimizeOverBreakpoints(&u, a, b, p.data(), q.data(), n));
    return u;
}

double solve(double a, double b, const std::vector<double> &p, const std::vector<double> &q) {
    return solve(a, b, p, q, static_cast<int32_t>(p.size()));
}

#define EXPECT_BITS(expected, actual) EXPECT_EQ(bitsOf(expected), bitsOf(actual))

TEST(WorkedExamples, OneKinkTiesGoToTheLeftmostInterval) {
    // Candidates -0.7, -0.7, 1.3 score -2.2, -2.2, -0.2.
    EXPECT_BITS(0.3 - 1.0, solve(0.3, 1, {1}, {-2}));
}

TEST(WorkedExamples, ZeroBreakpointGivesAnEmptyMiddleIntervalAtZero) {
    // The grid is -1e10, +0, -0, 1e10; x = 0 at the midpoint counts as >= 0.
    // The winner 1.3 comes from the empty interval at 0, far outside it.
    EXPECT_BITS(1.3, solve(0.3, 1, {1}, {0}));
}

TEST(WorkedExamples, RepeatedKinks) { EXPECT_BITS(4.0, solve(2, 1, {1, 1}, {-1, 1})); }

TEST(NoBreakpoints, ResultIsExactlyA) {
    EXPECT_BITS(0.25, solve(0.25, 1, {}, {}, 0));
    EXPECT_BITS(0.25, solve(0.25, 1, {1}, {1}, -5));
    EXPECT_BITS(0.25, solve(0.25, 1, {1}, {1}, std::numeric_limits<int32_t>::min()));
    // The threshold is strict on both sides: 1e-10 itself counts as nothing,
    // even though the tiny terms would move the true minimiser.
    EXPECT_BITS(0.25, solve(0.25, 7, {1e-10, -1e-10, 0.0, -0.0, 3e-11}, {5, -5, 1, 1, 9}));
    EXPECT_BITS(-0.0, solve(-0.0, 7, {nan, nan}, {1, 2}));
    EXPECT_TRUE(std::isnan(solve(nan, 1, {1e-11}, {1})));
    EXPECT_BITS(inf, solve(inf, 1, {0}, {1}));
}

TEST(NoBreakpoints, JustPastTheThresholdCounts) {
    const double above = std::nextafter(1e-10, 1.0);
    const std::vector<double> p = {above}, q = {1};
    EXPECT_BITS(reference::minimize(0.25, 1, p.data(), q.data(), 1), solve(0.25, 1, p, q));
    EXPECT_NE(bitsOf(0.25), bitsOf(solve(0.25, 1, p, q)));
}

TEST(ZeroWeight, EveryCandidateIsAAndTheFirstWins) {
    EXPECT_BITS(1.5, solve(1.5, 0.0, {1, -2, 3}, {4, 5, -6}));
    // The candidate is t * b + a, not a itself: the first interval's slope is
    // negative, so t * -0 = +0 and +0 + -0 = +0, while t * +0 = -0 keeps a = -0.
    EXPECT_BITS(0.0, solve(-0.0, -0.0, {-1, 2}, {4, 5}));
    EXPECT_BITS(-0.0, solve(-0.0, 0.0, {-1, 2}, {4, 5}));
}

TEST(Fallback, NanOrInfiniteInputsGive1e8OnceThereIsABreakpoint) {
    EXPECT_BITS(1e8, solve(nan, 1, {1}, {2}));
    EXPECT_BITS(1e8, solve(1, nan, {1}, {2}));
    EXPECT_BITS(1e8, solve(inf, 1, {1}, {2}));
    EXPECT_BITS(1e8, solve(1, -inf, {1}, {2}));
    EXPECT_BITS(1e8, solve(1, 1, {1, nan}, {2, 3}));  // a NaN slope still enters every sum
    EXPECT_BITS(1e8, solve(1, 1, {1, 1}, {2, nan}));
}

TEST(Fallback, NoCandidateBelow1e100Gives1e8) { EXPECT_BITS(1e8, solve(0, -1, {1e200}, {1e200})); }

TEST(Fallback, InfiniteOffsetMakesEveryScoreMinusInfinitySoTheFirstWins) {
    EXPECT_BITS(-2.5, solve(0.5, 1, {1, 2}, {0.5, -inf}));
}

TEST(Sentinels, KinksAtOrPastTheSentinelsAreScannedAsBuilt) {
    // The grid is no longer ascending; the scan runs over it all the same.
    const std::vector<std::vector<double>> offsets = {{1e10}, {-3e10, 1}, {2e10, -5e9}, {1e300, 2}};
    for (const auto &q : offsets) {
        const std::vector<double> p(q.size(), 1.0);
        for (double b : {1.0, -0.5}) {
            EXPECT_BITS(
                reference::minimize(0.1, b, p.data(), q.data(), static_cast<int32_t>(p.size())),
                solve(0.1, b, p, q));
        }
    }
    EXPECT_BITS(1.1, solve(0.1, 1, {1}, {3e10}));  // all three pieces alike: the first wins
}

// p1 * o + q1 rounds to exactly 0 (counted as >= 0) while the exact value,
// which a fused multiply-add would see, is negative. The unfused slope of the
// first interval is -1 + p1; a fused one would be -1 - p1.
TEST(Rounding, ProductsAreRoundedBeforeTheAddition) {
    const double o = (-1e10 + -3.0) * 0.5;  // midpoint of the first interval
    double p1 = 0;
    double q1 = 0;
    for (int i = 0; i < 1000 && p1 == 0; ++i) {
        const double candidate = 1e-11 * (1 + i * 1e-3);
        const double product = candidate * o;
        if (std::fma(candidate, o, -product) < 0) {
            p1 = candidate;
            q1 = -product;
        }
    }
    ASSERT_NE(p1, 0);
    const double unfused = -1.0 + p1;
    ASSERT_NE(bitsOf(unfused), bitsOf(-1.0 - p1));
    EXPECT_BITS(unfused, solve(0, 1, {1, p1}, {-3, q1}));
}

// F in extended precision, for the minimality check below.
long double objective(double u, double a, double b, const std::vector<double> &p,
                      const std::vector<double> &q) {
    long double sum = 0;
    for (size_t k = 0; k < p.size(); ++k)
        sum += std::fabs(static_cast<long double>(p[k]) * u + q[k]);
    const long double d = static_cast<long double>(u) - a;
    return d * d / 2 - b * sum;
}

// For b >= 0 and every kink inside the grid, F is the lower envelope of the
// pieces' quadratics, so the result must score no worse than any point: the
// kinks and a dense sample. The allowance covers the rounding of the result
// itself: t carries up to n rounding errors of size eps * sum|p_k|, so u is off
// by about delta = (n + 2) * eps * (|b| sum|p_k| + |a|), and F moves by at most
// (|u - a| + b sum|p_k|) * delta + delta^2 / 2 near a minimiser.
TEST(Property, ResultScoresNoWorseThanEveryKinkAndSample) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> coefficient(-5, 5);
    const double eps = std::numeric_limits<double>::epsilon();
    for (int trial = 0; trial < 400; ++trial) {
        const int32_t n = std::uniform_int_distribution<int32_t>(1, 12)(rng);
        std::vector<double> p(n), q(n);
        double slopeSum = 0;
        for (int32_t k = 0; k < n; ++k) {
            do p[k] = coefficient(rng);
            while (std::fabs(p[k]) < 1e-3);
            q[k] = coefficient(rng);
            slopeSum += std::fabs(p[k]);
        }
        const double a = coefficient(rng);
        const double b = std::uniform_real_distribution<double>(0, 3)(rng);
        const double u = solve(a, b, p, q);
        const double delta = (n + 2) * eps * (b * slopeSum + std::fabs(a) + 1);
        const double allowance = (std::fabs(u - a) + b * slopeSum + 1) * delta + delta * delta;
        const long double best = objective(u, a, b, p, q);
        std::vector<double> points;
        for (int32_t k = 0; k < n; ++k) points.push_back(-q[k] / p[k]);
        const double reach = std::fabs(a) + b * slopeSum + 50;
        for (int i = 0; i <= 4000; ++i) points.push_back(-reach + 2 * reach * i / 4000.0);
        for (double z : points) {
            ASSERT_LE(best, objective(z, a, b, p, q) + allowance)
                << "trial " << trial << ": F(" << u << ") exceeds F(" << z << ")";
        }
    }
}

TEST(Agreement, RandomProblemsMatchTheLiteralComputationToTheBit) {
    std::mt19937_64 rng(99);
    for (int trial = 0; trial < 20000; ++trial) {
        const int32_t n = std::uniform_int_distribution<int32_t>(0, trial % 10 == 0 ? 120 : 9)(rng);
        const Problem problem = randomProblem(rng, n, trial % 3 == 0 ? 25 : 3);
        double u = 0;
        ASSERT_TRUE(minimizeOverBreakpoints(&u, problem.a, problem.b, problem.p.data(),
                                            problem.q.data(), n));
        ASSERT_EQ(bitsOf(u), bitsOf(reference::minimize(problem.a, problem.b, problem.p.data(),
                                                        problem.q.data(), n)))
            << "trial " << trial << ", n = " << n;
    }
}

}  // namespace
