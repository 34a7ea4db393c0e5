// The pruned path against the literal computation, and the bound that the
// pruning rests on checked interval by interval.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "families.h"
#include "grid.h"
#include "internal.h"
#include "reference.h"

namespace {

using tarvenloch::ScanLevel;
using tarvenloch::Strategy;

double solveWith(Strategy strategy, ScanLevel level, const Problem &problem) {
    tarvenloch::Workspace workspace;
    double u = 0;
    EXPECT_TRUE(tarvenloch::minimize({level, strategy}, workspace, &u, problem.a, problem.b,
                                     problem.p.data(), problem.q.data(), problem.n()));
    return u;
}

// Sizes on both sides of every switch-over: the scalar and vector scans,
// the automatic choice of pruning, the inline scratch, the dropping of
// repeated intervals.
const int32_t kSizes[] = {1,  2,  3,  4,  5,  7,  8,   11,  12,  13,  14,  23,
                          24, 40, 51, 52, 53, 64, 120, 130, 131, 255, 256, 300};

TEST(Pruning, EveryFamilyAndStrategyAgreesWithTheLiteralComputation) {
    std::mt19937_64 rng(101);
    const ScanLevel best = tarvenloch::selectedScanLevel();
    for (int family = 0; family < static_cast<int>(Family::Count); ++family) {
        for (int32_t n : kSizes) {
            for (int repeat = 0; repeat < 6; ++repeat) {
                const Problem problem = familyProblem(static_cast<Family>(family), n, rng);
                const uint64_t expected = bitsOf(reference::minimize(
                    problem.a, problem.b, problem.p.data(), problem.q.data(), n));
                for (Strategy strategy : {Strategy::Automatic, Strategy::FullScan, Strategy::Pruned,
                                          Strategy::PrunedCarried}) {
                    for (ScanLevel level : {ScanLevel::Portable, best}) {
                        ASSERT_EQ(expected, bitsOf(solveWith(strategy, level, problem)))
                            << familyName(static_cast<Family>(family)) << ", n = " << n
                            << ", strategy " << static_cast<int>(strategy) << ", level "
                            << static_cast<int>(level) << ", repeat " << repeat;
                    }
                }
            }
        }
    }
}

TEST(Pruning, LargeProblemsOfEveryFamilyAgree) {
    std::mt19937_64 rng(103);
    for (int family = 0; family < static_cast<int>(Family::Count); ++family) {
        for (int32_t n : {700, 1500}) {
            const Problem problem = familyProblem(static_cast<Family>(family), n, rng);
            ASSERT_EQ(bitsOf(reference::minimize(problem.a, problem.b, problem.p.data(),
                                                 problem.q.data(), n)),
                      bitsOf(solveWith(n % 2 ? Strategy::Pruned : Strategy::PrunedCarried,
                                       tarvenloch::selectedScanLevel(), problem)))
                << familyName(static_cast<Family>(family)) << ", n = " << n;
        }
    }
}

// The midpoints are built straight from the breakpoints; they must be the
// written-out grid's midpoints to the bit (but for a NaN's sign), and the
// solver skips their order check when the largest breakpoint is within the
// sentinel, which is sound only if they then always ascend.
TEST(Grid, MidpointsAreTheGridsAndAscendWithinTheSentinel) {
    std::mt19937_64 rng(113);
    const double edges[] = {0.0,
                            -0.0,
                            0x1p-1074,
                            1e-300,
                            1.0,
                            9999999999.0,
                            1e10,
                            1e10 + 0x1p-19,
                            2e10,
                            1e300,
                            std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN()};
    for (int trial = 0; trial < 20000; ++trial) {
        const int32_t m = std::uniform_int_distribution<int32_t>(1, 12)(rng);
        std::vector<double> s(m);
        for (double &x : s) {
            x = trial % 3 == 0 ? edges[std::uniform_int_distribution<int>(0, 11)(rng)]
                               : std::fabs(awkwardValue(rng, 1e10, 10));
        }
        std::sort(s.begin(), s.end());  // NaN may leave them unsorted: fine for the bits
        std::vector<double> grid = {-1e10};
        for (int32_t i = m - 1; i >= 0; --i) grid.push_back(-s[i]);
        for (int32_t i = 0; i < m; ++i) grid.push_back(s[i]);
        grid.push_back(1e10);
        std::vector<double> mid(2 * m + 1);
        tarvenloch::buildMidpoints(s.data(), m, mid.data());
        // And one at a time, as the pruning reads them.
        std::vector<tarvenloch::KeyedBreakpoint> keyed(m);
        for (int32_t i = 0; i < m; ++i) keyed[i].r = s[i];
        const tarvenloch::Midpoints each{nullptr, keyed.data(), m};
        for (size_t j = 0; j < mid.size(); ++j) {
            const double expected = (grid[j] + grid[j + 1]) * 0.5;
            if (std::isnan(expected)) {
                ASSERT_TRUE(std::isnan(mid[j]) && std::isnan(each[j])) << "trial " << trial;
            } else {
                ASSERT_EQ(bitsOf(expected), bitsOf(mid[j])) << "trial " << trial << ", j = " << j;
                ASSERT_EQ(bitsOf(expected), bitsOf(each[j])) << "trial " << trial << ", j = " << j;
            }
        }
        const bool anyNan = std::any_of(s.begin(), s.end(), [](double x) { return std::isnan(x); });
        if (!anyNan && s[m - 1] <= 1e10) {
            ASSERT_TRUE(tarvenloch::ascending(mid.data(), 2 * m + 1)) << "trial " << trial;
        }
    }
}

// The bound takes the literal recursive sum's rounding to be at most u(1 +
// gamma_n) times the sum of its partial sums' magnitudes (the weighted sum
// pruningApplies returns). Checked on slopes that long double adds exactly,
// in orders that make the rounding large: were the weights wrong (a term
// weighted by its position rather than by the partial sums after it, say),
// a large first term followed by many small ones would break it.
TEST(Pruning, LiteralSumsRoundWithinTheWeightedBound) {
    std::mt19937_64 rng(127);
    for (int trial = 0; trial < 400; ++trial) {
        // Sums that long double adds exactly: odd multiples of 2^-8 below
        // 2^38, up to 4000 of them; or 2^30 and then up to 999 times half
        // its ulp, each of which a double addition rounds away (to even):
        // the worst case, an error of n - 1 half ulps, within n / (n - 1)
        // of the bound.
        const bool halfUlps = trial % 4 == 1;
        const int32_t n = std::uniform_int_distribution<int32_t>(2, halfUlps ? 1000 : 4000)(rng);
        Problem problem;
        problem.a = 0;
        problem.b = 1;
        for (int32_t k = 0; k < n; ++k) {
            double p = (2.0 * std::uniform_int_distribution<int64_t>(0, (1 << 29) - 1)(rng) + 1) *
                       std::ldexp(1.0, std::uniform_int_distribution<int>(-8, 8)(rng));
            if (halfUlps) p = k == 0 ? 0x1p30 : 0x1p-23;
            if (trial % 4 == 2) p = std::ldexp(p, -k / 200);  // falling magnitudes
            problem.p.push_back(p);
            problem.q.push_back(1);
        }
        tarvenloch::Magnitudes magnitudes;
        ASSERT_TRUE(tarvenloch::pruningApplies(problem.a, problem.b, problem.p.data(),
                                               problem.q.data(), n, &magnitudes));
        for (int pattern = 0; pattern < 4; ++pattern) {
            double t = 0;
            long double exact = 0;
            for (int32_t k = 0; k < n; ++k) {
                const bool plus = pattern == 0 || (pattern == 1 ? k % 2 == 0 : rng() % 2 == 0);
                t = plus ? t + problem.p[k] : t - problem.p[k];
                exact += plus ? problem.p[k] : -static_cast<long double>(problem.p[k]);
            }
            const double u = 0x1p-53, gammaN = n * u / (1 - n * u);
            ASSERT_LE(std::fabs(static_cast<long double>(t) - exact),
                      u * (1 + gammaN) * magnitudes.weightedSlopes)
                << "trial " << trial << ", pattern " << pattern;
            if (halfUlps && pattern == 0) {
                ASSERT_EQ(t, 0x1p30);  // every addition did round away
            }
        }
    }
}

// The literal slope, candidate and score at one midpoint.
struct Literal {
    double t, u, score;
};
Literal literalAt(double o, const Problem &problem) {
    double t = 0;
    for (int32_t k = 0; k < problem.n(); ++k) {
        const double x = problem.p[k] * o + problem.q[k];
        t = x >= 0 ? t + problem.p[k] : t - problem.p[k];
    }
    const double u = t * problem.b + problem.a;
    double v = 0;
    for (int32_t k = 0; k < problem.n(); ++k) {
        const double y = u * problem.p[k] + problem.q[k];
        v = y >= 0 ? v + y : v - y;
    }
    return {t, u, ((u - problem.a) * 0.5) * (u - problem.a) - v * problem.b};
}

// The pruning's estimates for a problem, with the midpoints they index and
// what a second round needs (its scratch stays in scratch).
struct PruningRun {
    std::vector<double> mid;
    std::vector<tarvenloch::IntervalEstimate> estimates;
    int64_t kept = 0;
    std::vector<double> keptMid;  // the midpoints of the kept intervals
    double commonBound = 0;
    std::vector<unsigned char> scratch;
    void *aligned = nullptr;
    tarvenloch::Magnitudes magnitudes;
};

// Fills run; false when the pruning does not apply. With inner, where only
// the grid's end midpoints are out of order (kinks past the sentinels), the
// inner intervals are pruned as a grid of their own, as prunedSolve does.
bool estimatesOf(const Problem &problem, tarvenloch::Carry carry, PruningRun &run,
                 bool inner = false) {
    auto &mid = run.mid;
    auto &estimates = run.estimates;
    auto &scratch = run.scratch;
    auto &aligned = run.aligned;
    auto &magnitudes = run.magnitudes;
    const int32_t n = problem.n();
    if (!tarvenloch::pruningApplies(problem.a, problem.b, problem.p.data(), problem.q.data(), n,
                                    &magnitudes, carry)) {
        return false;
    }
    const int32_t m = tarvenloch::countBreakpoints(problem.p.data(), n);
    if (m == 0) return false;
    std::vector<tarvenloch::KeyedBreakpoint> keyed(m + 1);
    tarvenloch::collectKeyedBreakpoints(problem.p.data(), problem.q.data(), n, keyed.data());
    std::vector<tarvenloch::KeyedBreakpoint> spare(m);
    tarvenloch::sortKeyedBreakpoints(keyed.data(), m, spare.data());
    std::vector<double> breakpoints(m);
    for (int32_t i = 0; i < m; ++i) breakpoints[i] = keyed[i].r;
    const int64_t count = 2 * static_cast<int64_t>(m) + 1;
    mid.assign(count + 1, 0);
    tarvenloch::buildMidpoints(breakpoints.data(), m, mid.data());
    mid.resize(count);
    if (!tarvenloch::ascending(mid.data(), count)) {
        if (!inner || count < 3 || !tarvenloch::ascending(mid.data() + 1, count - 2)) return false;
        mid.pop_back();
        mid.erase(mid.begin());
    }
    scratch.assign(tarvenloch::pruningScratchBytes(n, count) + 64, 0);
    aligned = scratch.data() + (64 - reinterpret_cast<uintptr_t>(scratch.data()) % 64);
    std::vector<double> &keptMid = run.keptMid;
    keptMid.assign(n + 1, 0);
    estimates.resize(n + 1);
    int64_t found = 0;
    run.kept = tarvenloch::pruneIntervals(problem.a, problem.b, problem.p.data(), problem.q.data(),
                                          n, magnitudes, keyed.data(), m, mid.data(),
                                          static_cast<int64_t>(mid.size()), aligned, keptMid.data(),
                                          estimates.data(), &found, &run.commonBound);
    estimates.resize(found);
    keptMid.resize(run.kept);
    return true;
}

// The argument the pruning rests on, checked directly on every interval:
//  - an interval that starts no new sign pattern repeats its left
//    neighbour's slope to the bit (so it cannot win);
//  - every interval that does has its exact score within the bound of the
//    estimate, and that bound within the common bound used to drop most
//    intervals at once;
//  - given its literal candidate, every such interval's exact score lies
//    within the second round's bound;
//  - the winner (the first interval of least literal score) is kept, also
//    where the threshold is an interval's literal score (carried errors).
// Were either wrong, a pruned interval could have been the winner.
TEST(Pruning, EveryExactScoreLiesWithinTheBoundOfItsEstimate) {
    std::mt19937_64 rng(107);
    double largestRatio = 0, largestRefinedRatio = 0;
    int checked = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const auto family = static_cast<Family>(trial % static_cast<int>(Family::Count));
        const int32_t n =
            trial % 50 == 0 ? 600 : std::uniform_int_distribution<int32_t>(1, 60)(rng);
        const Problem problem = familyProblem(family, n, rng);
        // Every other problem carries the running sums' rounding errors.
        const auto carry = trial % 2 ? tarvenloch::Carry::Always : tarvenloch::Carry::Never;
        PruningRun run;
        if (!estimatesOf(problem, carry, run)) continue;
        const auto &mid = run.mid;
        const auto &estimates = run.estimates;
        if (problem.b == 0) continue;  // the first interval wins outright
        ASSERT_GE(run.kept, 1);
        size_t next = 0;
        Literal previous{};
        int64_t winner = 0;
        double least = std::numeric_limits<double>::infinity();
        for (int64_t j = 0; j < static_cast<int64_t>(mid.size()); ++j) {
            const Literal literal = literalAt(mid[j], problem);
            if (literal.score < least) least = literal.score, winner = j;
            if (next < estimates.size() && estimates[next].interval == j) {
                const tarvenloch::IntervalEstimate &e = estimates[next++];
                const double error = std::fabs(literal.score - e.score);
                ASSERT_LE(error, e.bound) << familyName(family) << " trial " << trial
                                          << " interval " << j << " score " << literal.score;
                ASSERT_LE(e.bound, run.commonBound) << familyName(family) << " trial " << trial;
                if (e.bound > 0) largestRatio = std::max(largestRatio, error / e.bound);
                ++checked;
            } else {
                ASSERT_GT(j, 0);
                ASSERT_EQ(bitsOf(literal.t), bitsOf(previous.t))
                    << familyName(family) << " trial " << trial << " interval " << j;
            }
            previous = literal;
        }
        ASSERT_EQ(next, estimates.size());
        ASSERT_NE(std::find(run.keptMid.begin(), run.keptMid.end(), mid[winner]), run.keptMid.end())
            << familyName(family) << " trial " << trial << ": the winner " << winner << " dropped";

        // The second round: each candidate's literal value, and a bound
        // for an exactly known candidate.
        std::vector<double> exact;
        for (const tarvenloch::IntervalEstimate &e : estimates) {
            exact.push_back(literalAt(mid[e.interval], problem).u);
        }
        std::vector<tarvenloch::IntervalEstimate> refined(exact.size());
        std::vector<double> list = exact;
        tarvenloch::refineCandidates(problem.a, problem.b, problem.n(), run.magnitudes, run.aligned,
                                     list.data(), static_cast<int64_t>(list.size()),
                                     refined.data());
        for (size_t c = 0; c < exact.size(); ++c) {
            const Literal literal = literalAt(mid[estimates[c].interval], problem);
            const double error = std::fabs(literal.score - refined[c].score);
            ASSERT_LE(error, refined[c].bound) << familyName(family) << " trial " << trial;
            if (refined[c].bound > 0) {
                largestRefinedRatio = std::max(largestRefinedRatio, error / refined[c].bound);
            }
        }
    }
    std::printf("checked %d estimates; largest error / bound = %.3g, in the second round %.3g\n",
                checked, largestRatio, largestRefinedRatio);
    EXPECT_GT(checked, 10000);
}

// A sum that the literal computation rounds at nearly every addition: |y|
// = 2^20 first, then 3000 terms of 2^-33, each just over half an ulp of the
// running sum. There the errors reach almost the bound before its factor 2
// (the rigorous part), in both rounds: the test fails if any term the
// rounding of the literal sums needs is dropped or made smaller.
TEST(Pruning, RoundingAtEveryAdditionStaysWithinTheRigorousHalfOfTheBound) {
    Problem problem;
    problem.a = 0x1.00001p+20;
    problem.b = 1;
    problem.p.assign(3001, 0.0);
    problem.q.assign(3001, 0x1p-33);
    problem.p[0] = 1;
    problem.q[0] = 0;
    for (const auto carry : {tarvenloch::Carry::Never, tarvenloch::Carry::Always}) {
        PruningRun run;
        ASSERT_TRUE(estimatesOf(problem, carry, run));
        const auto &mid = run.mid;
        const auto &estimates = run.estimates;
        std::vector<double> exact;
        double largest = 0;
        for (const tarvenloch::IntervalEstimate &e : estimates) {
            const Literal literal = literalAt(mid[e.interval], problem);
            exact.push_back(literal.u);
            ASSERT_LE(std::fabs(literal.score - e.score), 0.5 * e.bound);
            largest = std::max(largest, std::fabs(literal.score - e.score) / e.bound);
        }
        std::vector<tarvenloch::IntervalEstimate> refined(exact.size());
        tarvenloch::refineCandidates(problem.a, problem.b, problem.n(), run.magnitudes, run.aligned,
                                     exact.data(), static_cast<int64_t>(exact.size()),
                                     refined.data());
        for (size_t c = 0; c < refined.size(); ++c) {
            const Literal literal = literalAt(mid[estimates[c].interval], problem);
            ASSERT_LE(std::fabs(literal.score - refined[c].score), 0.5 * refined[c].bound);
            largest =
                std::max(largest, std::fabs(literal.score - refined[c].score) / refined[c].bound);
        }
        std::printf("carry %d: largest error / bound %.4f\n", static_cast<int>(carry), largest);
        if (carry == tarvenloch::Carry::Always) {
            EXPECT_GT(largest, 0.45);  // the case does reach the bound
        }
    }
    EXPECT_EQ(bitsOf(reference::minimize(problem.a, problem.b, problem.p.data(), problem.q.data(),
                                         problem.n())),
              bitsOf(solveWith(Strategy::PrunedCarried, tarvenloch::selectedScanLevel(), problem)));
}

// ---- Each term of the bound at the edge of its share ----

// n terms: one of slope 1 with offset bigQ, first or last in term order, and
// n - 1 equal small ones (p, q) whose products and additions fall on or
// just past half an ulp of the sums they join, so that one of the running
// sums rounds at every addition, always the same way.
Problem halfUlpProblem(double a, double b, bool bigFirst, double bigQ, double p, double q,
                       int32_t n) {
    Problem problem;
    problem.a = a;
    problem.b = b;
    problem.p.assign(n, p);
    problem.q.assign(n, q);
    const int32_t big = bigFirst ? 0 : n - 1;
    problem.p[big] = 1;
    problem.q[big] = bigQ;
    return problem;
}

// The part of an estimate's bound E that the argument proves: E is twice
// it (the factor 2 is margin) plus 4u |F~| for the keep rule's comparisons.
double provenPart(const tarvenloch::IntervalEstimate &e) {
    return 0.5 * (e.bound - 0x1p-51 * std::fabs(e.score));
}

// How close the estimates of each round come to the proven part of their
// bound: the largest |F - F~| / provenPart over the candidates. With it, the second round's
// estimates of the literal candidates (equal neighbours merged, as the scan
// gives them) and how many it keeps.
struct Reach {
    double first = 0, second = 0;
    std::vector<double> u, score;  // the literal candidates and their scores
    std::vector<tarvenloch::IntervalEstimate> refined;
    int64_t kept = 0;
};
Reach reachOf(const Problem &problem, tarvenloch::Carry carry) {
    Reach reach;
    PruningRun run;
    EXPECT_TRUE(estimatesOf(problem, carry, run, true));
    for (const tarvenloch::IntervalEstimate &e : run.estimates) {
        const Literal literal = literalAt(run.mid[e.interval], problem);
        reach.first = std::max(reach.first, std::fabs(literal.score - e.score) / provenPart(e));
        if (reach.u.empty() || reach.u.back() != literal.u) {
            reach.u.push_back(literal.u);
            reach.score.push_back(literal.score);
        }
    }
    std::vector<double> kept = reach.u;
    reach.refined.resize(kept.size());
    reach.kept = tarvenloch::refineCandidates(
        problem.a, problem.b, problem.n(), run.magnitudes, run.aligned, kept.data(),
        static_cast<int64_t>(kept.size()), reach.refined.data());
    for (size_t c = 0; c < kept.size(); ++c) {
        const tarvenloch::IntervalEstimate &e = reach.refined[c];
        reach.second = std::max(reach.second, std::fabs(reach.score[c] - e.score) / provenPart(e));
    }
    return reach;
}

// Each row is an input built to drive one term of the bound, or one rule
// that rests on it, to the edge. Every estimate must stay within the proven
// part of its bound, the row must still come as close to it as it was built to, and the pruned
// paths must return the literal result. Dropping the term a row drives
// breaks the first check or the last (docs/pruning.md, "Which input needs
// which term", says which terms no input can need on their own, and why).
TEST(Pruning, EachTermOfTheBoundIsDrivenToItsEdge) {
    using tarvenloch::Carry;
    const Problem slopes =
        halfUlpProblem(-1 + 0x1p-20, 1, true, -(0x1p-10 + 0x1p-30), 0x1p-53, -0x1p-63, 33001);
    const Problem running =
        halfUlpProblem(-1 + 0x1p-20, 1, false, -0x1p-10, 0x1p-53, -(0x1p-63 + 0x1p-83), 3001);
    // The same scaled by 2^480 (every rounding the same, every score times
    // 2^960): past the limits, so that the bound is worked in a shifted
    // range. The second round must reach as far as it does unshifted; the
    // kinks now lie past the sentinels, so the first round's intervals
    // are others.
    Problem shifted = slopes;
    for (double *x : {&shifted.a, &shifted.b}) *x = std::ldexp(*x, 480);
    for (double &x : shifted.q) x = std::ldexp(x, 480);
    // The candidates 0 and 2: the winner first, with a small bound, its
    // estimate above its score; the other's estimate below its score by
    // more than the winner's bound.
    const Problem threshold = halfUlpProblem(0x1.ffffffffffe17p-1, 1, false, -1, 0x1p-54 + 0x1p-74,
                                             -(0x1p-55 + 0x1p-75), 1000);
    // The slopes' problem mirrored to b < 0 and scaled by 2^164 (every
    // rounding the same), plus a last term p = 0 that lifts the one
    // survivor's score to 1e100: its estimate lies just below.
    Problem lone =
        halfUlpProblem(-0x1.8p165, -0x1p164, true, -(0x1p154 + 0x1p134), 0x1p-53, -0x1p101, 3001);
    lone.p.push_back(0);
    lone.q.push_back(0);
    lone.q.back() = (1e100 - literalAt(-1, lone).score) / 0x1p164;  // left of every kink

    // Two terms whose every rounding, literal and estimated, falls on half an
    // ulp the way that adds to the error, the two slopes straddling a tie of
    // the candidate's rounding: the candidates land an ulp of a apart.
    Problem sums;
    sums.a = -0x1.00001022f8837p+30;
    sums.b = 0x1.0001bb2cc0ddbp-11;
    sums.p = {0x1.0000000000001p-32, 0x1.0000003abebcap+21};
    sums.q = {0x1.000000002p-1, 0x1.4e04p+12};

    // 1000 small terms flipping with a term of slope 1 at the kink 1, whose
    // increase rounds at every addition, while the first slope, lifted into a
    // lower binade by a term that never flips (its kink lies past the
    // sentinel), adds them exactly: only the increase's carried errors
    // account for the slope's.
    Problem increases =
        halfUlpProblem(-2.25 * 0x1p30 + 0.5, 0x1p30, false, -1, 0x1p-53, -0x1p-53, 1001);
    increases.p.push_back(1.25);
    increases.q.push_back(1.25 * 0x1p34);

    // Addends that outweigh the running sums they join, in the first slope
    // and an increase: only the full TwoSum keeps what they absorb.
    Problem absorbed;
    absorbed.a = -0x1p+2;
    absorbed.b = 0x1p+60;
    absorbed.p = {0x1.8p-56,           0x1.3p-56, 0x1.78p-54,
                  0x1.2p-52,           0x1.cp-51, 0x1.0000000000002p+1,
                  0x1.0000000000003p+1};
    absorbed.q = {0x1.8p-57,  -0x1.c8p-55,           -0x1.78p-55,          -0x1.2p-54,
                  -0x1.5p-51, -0x1.0000000000002p+1, -0x1.0000000000003p+2};

    // Slopes near 2^1021 with a subnormal b: sum |p| is within reach, but
    // the sums of its partial sums that the bound weighs overflow, and a
    // bound of 0 * infinity would drop the winner, the exact candidate 0.
    Problem overflowing;
    overflowing.b = -0x1p-1030;
    overflowing.p.assign(4, 0x1.fffffffffffep+1020);
    overflowing.q = {0x1.fffffffffffep+1017, 0x1.fffffffffffep+1016, -0x1.fffffffffffep+1016,
                     -0x1.fffffffffffep+1017};

    // Scores below the smallest normal number: the literal and estimated b S
    // fall either side of a subnormal tie, an error of 2^-1074 that no term
    // of relative size covers, only the floor.
    Problem subnormal;
    subnormal.b = 0x1.8ae4f5568a5cap-1018;
    subnormal.p = {-0x1.e59b73c1b505dp-11, -0x1.ba8bd65bc0d88p-12};
    subnormal.q = {-0x1.02e9870dfa382p-13, -0x1.24047f835a666p-15};

    // In a shifted range: the increases' row scaled by 2^456 (its kinks past
    // the sentinels, the inner intervals pruned), where the carried slope
    // error, a ratio, must not be scaled; and b below the least normal
    // number once shifted, which the rounding up must keep from 0.
    Problem increasesShifted = increases;
    for (double *x : {&increasesShifted.a, &increasesShifted.b}) *x = std::ldexp(*x, 456);
    for (double &x : increasesShifted.q) x = std::ldexp(x, 456);
    Problem tinyB;
    tinyB.a = 0x1.123456789abcdp+500;
    tinyB.b = 0x1p-1060;
    tinyB.p = {0x1.fffffffffffffp-1, 0x1.3333333333333p+1, -0x1.5555555555555p+0,
               0x1.c71c71c71c71cp-1};
    tinyB.q = {1, -2, 3, 0.5};

    enum class Rule { None, WinnerKeptByItsBound, LoneSurvivorAboveTheStart, BeyondTheLimits };
    struct Row {
        const char *drives;
        const Problem &problem;
        Carry carry;
        double first, second;  // each round reaches at least this share of the proven part
        Rule rule;
    } rows[] = {
        {"the literal slope's rounding; the literal sums' and the carried low parts of alpha "
         "and beta (second round); the factor 2 is all the margin there is",
         slopes, Carry::Always, 0.98, 0.98, Rule::None},
        {"the plain running sums of alpha and beta", slopes, Carry::Never, 0.1, 0.25, Rule::None},
        {"the running slope's carried low part", running, Carry::Always, 0.49, 0, Rule::None},
        {"the plain running slope", running, Carry::Never, 0.15, 0, Rule::None},
        {"the candidates' sums + a; each literal term's rounding (the gamma_6 term)", sums,
         Carry::Always, 0.85, 0.45, Rule::None},
        {"the increases' carried errors", increases, Carry::Always, 0.2, 0, Rule::None},
        {"the carried sums' TwoSum, for addends that outweigh the sum", absorbed, Carry::Always,
         0.4, 0, Rule::None},
        {"the limits that keep the bound's own sums finite", overflowing, Carry::Always, 0, 0,
         Rule::BeyondTheLimits},
        {"the floor, for scores that underflow", subnormal, Carry::Always, 1e-40, 1e-40,
         Rule::None},
        {"the carried low parts of alpha and beta; the second round's threshold", threshold,
         Carry::Always, 0.9, 0.9, Rule::WinnerKeptByItsBound},
        {"a lone survivor's bound against the starting value 1e100", lone, Carry::Always, 0.6, 0.9,
         Rule::LoneSurvivorAboveTheStart},
        {"the bound worked in a shifted range", shifted, Carry::Always, 0.6, 0.98, Rule::None},
        {"the same, plain: P^ a ratio there", shifted, Carry::Never, 0.1, 0.25, Rule::None},
        {"the carried slope error, a ratio in a shifted range", increasesShifted, Carry::Always,
         0.2, 0, Rule::None},
        {"b rounded up in a shifted range", tinyB, Carry::Always, 0, 0, Rule::None},
    };
    for (const Row &row : rows) {
        const Problem &problem = row.problem;
        const double expected = reference::minimize(problem.a, problem.b, problem.p.data(),
                                                    problem.q.data(), problem.n());
        for (Strategy strategy : {Strategy::Automatic, Strategy::Pruned, Strategy::PrunedCarried}) {
            EXPECT_EQ(bitsOf(expected),
                      bitsOf(solveWith(strategy, tarvenloch::selectedScanLevel(), problem)))
                << row.drives << ", strategy " << static_cast<int>(strategy);
        }
        if (row.rule == Rule::BeyondTheLimits) continue;  // the bound is not used there
        const Reach reach = reachOf(problem, row.carry);
        EXPECT_LE(reach.first, 1) << row.drives;
        EXPECT_LE(reach.second, 1) << row.drives;
        EXPECT_GE(reach.first, row.first) << row.drives;
        EXPECT_GE(reach.second, row.second) << row.drives;
        std::printf("%.4f %.4f: %s\n", reach.first, reach.second, row.drives);
        const auto winner =
            std::min_element(reach.score.begin(), reach.score.end()) - reach.score.begin();
        if (row.rule == Rule::WinnerKeptByItsBound) {
            // Only its bound keeps the winner: its estimate less the bound
            // lies above another's estimate.
            const auto lowest =
                std::min_element(reach.refined.begin(), reach.refined.end(),
                                 [](const auto &x, const auto &y) { return x.score < y.score; });
            EXPECT_GT(reach.refined[winner].score - reach.refined[winner].bound, lowest->score);
        }
        if (row.rule == Rule::LoneSurvivorAboveTheStart) {
            EXPECT_EQ(reach.kept, 1);
            EXPECT_LT(reach.refined[winner].score, 1e100);
            EXPECT_GE(reach.score[winner], 1e100);
            EXPECT_EQ(expected, 1e8);
        }
    }
}

// Scores in [1e99, 1e100) are below the starting best value, so the best
// candidate is returned, not the fallback 1e8; with the starting value any
// lower, every score would fail the test. Scores just above it give the
// fallback on every path, even where a single candidate survives the
// pruning and its score is never computed.
TEST(ExactScans, ScoresJustBelowTheStartingValueStillWin) {
    for (const double total : {5e99, 1.05e100}) {
        for (int32_t n : {1, 10, 100}) {  // 3 intervals: scalar scan; 21: vector scan
            Problem problem;
            problem.a = 0;
            problem.b = -1;  // F = u^2 / 2 + sum |p u + q|, about sum |q| = total
            for (int32_t k = 0; k < n; ++k) {
                problem.p.push_back(1 + k);
                problem.q.push_back(total / n);
            }
            const double expected =
                reference::minimize(problem.a, problem.b, problem.p.data(), problem.q.data(), n);
            const double score = literalAt(0.0, problem).score;
            if (total < 1e100) {
                ASSERT_NE(expected, 1e8);
                ASSERT_GE(score, 1e99);
                ASSERT_LT(score, 1e100);
            } else {
                ASSERT_EQ(expected, 1e8);
            }
            for (int level = 0; level <= 3; ++level) {
                const auto scanLevel = static_cast<ScanLevel>(level);
                if (!tarvenloch::scanLevelSupported(scanLevel)) continue;
                for (Strategy strategy :
                     {Strategy::FullScan, Strategy::Pruned, Strategy::PrunedCarried}) {
                    EXPECT_EQ(bitsOf(expected), bitsOf(solveWith(strategy, scanLevel, problem)))
                        << "n = " << n << ", level " << level << ", total " << total;
                }
            }
        }
    }
}

// Equal candidates are scored once; the scan in two halves must still pick
// the leftmost of equal scores and never a NaN score, at every level.
TEST(ExactScans, DeduplicatedScanMatchesTheFullScan) {
    std::mt19937_64 rng(109);
    for (int trial = 0; trial < 3000; ++trial) {
        const int32_t n = std::uniform_int_distribution<int32_t>(0, 12)(rng);
        const Problem problem = randomProblem(rng, n, 20);
        std::vector<double> mid(40 + 8);
        const int64_t count = std::uniform_int_distribution<int64_t>(1, 40)(rng);
        for (int64_t j = 0; j < count; ++j) {
            mid[j] = j > 0 && trial % 2 ? mid[j - 1] : awkwardValue(rng, 20, 10);
        }
        for (int level = 0; level <= 3; ++level) {
            const auto scanLevel = static_cast<ScanLevel>(level);
            if (!tarvenloch::scanLevelSupported(scanLevel)) continue;
            std::vector<double> copy = mid, t(48), score(48);
            std::vector<unsigned char> signs(n);
            const tarvenloch::ScanKernels kernels = tarvenloch::kernelsFor(scanLevel);
            const double expected = tarvenloch::scanPortable(
                copy.data(), count, problem.a, problem.b, problem.p.data(), problem.q.data(), n);
            copy = mid;
            ASSERT_EQ(bitsOf(expected), bitsOf(tarvenloch::scanDeduplicated(
                                            kernels, copy.data(), count, problem.a, problem.b,
                                            problem.p.data(), problem.q.data(), n, t.data(),
                                            score.data(), nullptr, nullptr, signs.data())))
                << "trial " << trial << ", level " << level;
        }
    }
}

}  // namespace
