// Results known before the grid (settled.cpp), and the scans' stop at a
// score of -Inf: non-finite and huge inputs against the literal
// computation, each rule's edge, and that the large inputs of the census
// (docs/performance.md) take the shortcut.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
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

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

bool settle(const Problem &x, double *u) {
    tarvenloch::Workspace workspace;
    return tarvenloch::settledResult(tarvenloch::selectedScanLevel(), workspace, x.a, x.b,
                                     x.p.data(), x.q.data(), x.n(), u);
}

// Normal terms (p ~ 4 N(0, 1), q ~ 8 N(0, 1), a ~ N(0, 1), b = 1), then change.
Problem normal(int32_t n, const std::function<void(Problem &)> &change) {
    std::mt19937_64 rng(1000 + n);
    Problem x = familyProblem(Family::Normal, n, rng);
    change(x);
    return x;
}
Problem terms(double a, double b, std::vector<double> p, std::vector<double> q) {
    Problem x;
    x.a = a, x.b = b, x.p = std::move(p), x.q = std::move(q);
    return x;
}

struct Row {
    const char *what;
    Problem problem;
    bool settled;  // whether settledResult decides it
};

// Each row against the literal computation, bit for bit: settledResult's
// answer where it gives one, the solver with pruning tried (which asks it
// first) and the full scan forced (which does not), at every scan level.
TEST(Settled, NonFiniteAndHugeInputsAgreeWithTheLiteralComputation) {
    const int32_t k = 40;  // where the bad value goes among 120 normal terms
    const Row rows[] = {
        {"NaN in one q", normal(120, [&](Problem &x) { x.q[k] = nan; }), true},
        {"NaN in one q, p = 0 there", normal(120, [&](Problem &x) { x.p[k] = 0, x.q[k] = nan; }),
         true},
        {"NaN in one p", normal(120, [&](Problem &x) { x.p[k] = nan; }), true},
        {"+Inf in one p", normal(120, [&](Problem &x) { x.p[k] = inf; }), true},
        {"-Inf in one p, b = 0", normal(120, [&](Problem &x) { x.p[k] = -inf, x.b = 0; }), true},
        {"a = NaN", normal(120, [&](Problem &x) { x.a = nan; }), true},
        {"a = -Inf", normal(120, [&](Problem &x) { x.a = -inf; }), true},
        {"b = NaN", normal(120, [&](Problem &x) { x.b = nan; }), true},
        {"b = +Inf", normal(120, [&](Problem &x) { x.b = inf; }), true},
        {"b = -Inf", normal(120, [&](Problem &x) { x.b = -inf; }), true},
        {"+Inf in one q, b = -1", normal(120, [&](Problem &x) { x.q[k] = inf, x.b = -1; }), true},
        {"-Inf in one q, b = -0", normal(120, [&](Problem &x) { x.q[k] = -inf, x.b = -0.0; }),
         true},
        {"+Inf in one q, b = 1: the first interval scores -Inf",
         normal(120, [&](Problem &x) { x.q[k] = inf; }), true},
        {"-Inf in one q of a term without a kink, b = 1",
         normal(120, [&](Problem &x) { x.p[k] = 1e-11, x.q[k] = -inf; }), true},
        {"+Inf in one q, b the least subnormal: still -Inf",
         normal(120, [&](Problem &x) { x.q[k] = inf, x.b = 4.9e-324; }), true},
        {"+Inf in one q, a = 1e300: every candidate is a, every score NaN",
         normal(120, [&](Problem &x) { x.q[k] = inf, x.p[k] = -1e10, x.a = 1e300; }), true},
        {"+Inf in one q and one p of 1e300: every square overflows",
         normal(120, [&](Problem &x) { x.q[k] = inf, x.p[k + 1] = 1e300; }), true},
        // Two slopes of 1e160 that cancel only between their kinks at -1
        // and 1, past 100 kinks: the first interval's square overflows, and
        // the first to score -Inf is in the middle of the grid, where (R10)
        // looks and where the forced full scan stops.
        {"+Inf in one q, the first -Inf mid-grid",
         normal(102,
                [](Problem &x) {
                    x.a = 0.5;
                    x.p[0] = 1, x.q[0] = inf;
                    x.p[1] = 1e160, x.q[1] = -1e160;
                    x.p[2] = 1e160, x.q[2] = 1e160;
                    for (int32_t j = 3; j < 102; ++j) x.q[j] = x.p[j] * (j % 2 ? 2 + j : -2 - j);
                }),
         true},
        {"1e300 in one q", normal(120, [&](Problem &x) { x.q[k] = 1e300; }), true},
        {"-1e250 in one q", normal(120, [&](Problem &x) { x.q[k] = -1e250; }), true},
        {"1e300 in one q, b = -1", normal(120, [&](Problem &x) { x.q[k] = 1e300, x.b = -1; }),
         true},
        {"1e300 in one p", normal(120, [&](Problem &x) { x.p[k] = 1e300; }), true},
        {"a = 1e300", normal(120, [&](Problem &x) { x.a = 1e300; }), true},
        {"b = 1e300", normal(120, [&](Problem &x) { x.b = 1e300; }), true},
        {"b = -1e300, integer slopes: some cancel to 0",
         normal(120,
                [](Problem &x) {
                    x.b = -1e300;
                    for (double &p : x.p) p = std::round(p);
                }),
         true},
        {"1e300 in one q, a = -0, b = -0: u0 is +0",
         normal(120, [&](Problem &x) { x.q[k] = 1e300, x.a = -0.0, x.b = -0.0; }), true},
        {"b = 1e140: nothing overflows, the bound is worked in a shifted range",
         normal(120, [](Problem &x) { x.b = 1e140; }), false},
        // Edges, each where a rule must not apply but would with a looser
        // condition, and the literal result is then not what it would give.
        // (R5) a = 2^300: the gap below is 2^247, the one above 2^248; here
        // |t b| reaches 3/4 of the gap below, and u0 rounds down to the
        // next double below a, scoring worse than a.
        {"every |t b| at 3/4 of the gap below a = 2^300",
         terms(0x1p300, 0x3p244, {1, -1}, {0.5, 3}), false},
        // (R9) u is 0 or 2^241: q0 + u passes half the gap above 2^300 for
        // the larger only, whose sum then rounds up and wins.
        {"a term before the huge q that rounds the sum up for one candidate",
         terms(0, 0x1p240, {1, 0, 1}, {0x1p247 - 0x1p240, 0x1p300, 0}), false},
        // (R8) the square term at |t| = 8 passes a quarter of the gap above
        // w = 1.75 2^542: the scores differ, and the least square wins.
        {"square terms that a huge sum does not absorb",
         terms(0, 0x1.cp242, {0, 1, 1, 1, 1, 1, 1, 1, 1},
               {0x1p300, -3.5, -2.5, -1.5, -0.5, 0.5, 1.5, 2.5, 3.5}),
         false},
        // (R7, R8) every score the same, just below 1e100: the first wins.
        {"an offset just under 1e100, b = -1",
         normal(120, [&](Problem &x) { x.p[k] = 0, x.q[k] = 9e99, x.b = -1; }), true},
        // (R6) slopes of 1e160 that nearly cancel: some squares are finite,
        // and (R10) scans the intervals where they cancel.
        {"two slopes of 1e160 that nearly cancel",
         normal(120, [&](Problem &x) { x.p[k] = 1e160, x.p[k + 1] = -1e160 * (1 - 0x1p-30); }),
         true},
        {"b = 1e300, integer slopes, two kinks past the sentinels",
         normal(120,
                [&](Problem &x) {
                    x.b = 1e300;
                    for (double &p : x.p) p = std::round(p);
                    x.p[k] = 1, x.q[k] = 3e10, x.p[k + 1] = 1, x.q[k + 1] = -5e10;
                }),
         false},
        {"two kinks past the sentinels",
         normal(120,
                [&](Problem &x) { x.p[k] = 1, x.q[k] = 3e10, x.p[k + 1] = 1, x.q[k + 1] = -5e10; }),
         false},
        // Kinks past both sentinels and few of them: nearly every interval
        // is kept, and the second round's list holds the two end intervals
        // beside them (an outside review's input).
        {"two of two kinks past the sentinels",
         terms(0, -1e30, {-2, 1, 0}, {-0x1p104, -0x1p103, -0x1.ffffffffffffep157}), false},
    };
    for (const Row &row : rows) {
        const Problem &x = row.problem;
        const uint64_t expected =
            bitsOf(reference::minimize(x.a, x.b, x.p.data(), x.q.data(), x.n()));
        double u = 0;
        EXPECT_EQ(row.settled, settle(x, &u)) << row.what;
        if (row.settled) {
            EXPECT_EQ(expected, bitsOf(u)) << row.what;
        }
        for (int level = 0; level <= 3; ++level) {
            if (!tarvenloch::scanLevelSupported(static_cast<ScanLevel>(level))) continue;
            for (Strategy strategy : {Strategy::Pruned, Strategy::FullScan}) {
                tarvenloch::Workspace workspace;
                ASSERT_TRUE(tarvenloch::minimize({static_cast<ScanLevel>(level), strategy},
                                                 workspace, &u, x.a, x.b, x.p.data(), x.q.data(),
                                                 x.n()));
                EXPECT_EQ(expected, bitsOf(u)) << row.what << ", level " << level << ", strategy "
                                               << static_cast<int>(strategy);
            }
        }
    }
}

// Whenever settledResult answers, its answer is the literal result: random
// small problems with awkward and huge values, and huge ones built near
// the rules' edges (values at powers of 2, slopes that cancel, weights and
// offsets around the scales where sums and squares overflow or vanish).
TEST(Settled, EveryAnswerIsTheLiteralResult) {
    std::mt19937_64 rng(2026);
    const auto uniform = [&](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(rng);
    };
    const auto power = [&](double low, double high) {
        return std::ldexp(1.0, static_cast<int>(uniform(low, high)));
    };
    int answered = 0;
    for (int trial = 0; trial < 60000; ++trial) {
        const int32_t n = std::uniform_int_distribution<int32_t>(1, 10)(rng);
        Problem x = randomProblem(rng, n, 20);
        const int shape = trial % 4;
        for (int32_t k = 0; k < n; ++k) {
            if (shape == 1) x.q[k] = std::round(x.q[k]) * power(0, 300);
            if (shape == 2) x.p[k] = std::round(x.p[k]) * (k % 3 ? 1 : 1 + 0x1p-30);
            if (shape == 3) x.p[k] = std::round(x.p[k]) * power(0, 160);
        }
        if (shape == 1) x.a = std::round(x.a) * power(0, 300), x.b = uniform(-2, 2) * power(0, 250);
        if (shape >= 2) x.b = (trial % 8 < 4 ? 1 : -1) * uniform(1, 2) * power(100, 308);
        if (shape == 3) x.a = uniform(-1, 1) * power(150, 170);
        double u;
        if (tarvenloch::countBreakpoints(x.p.data(), n) == 0 || !settle(x, &u)) continue;
        ++answered;
        ASSERT_EQ(bitsOf(reference::minimize(x.a, x.b, x.p.data(), x.q.data(), n)), bitsOf(u))
            << "trial " << trial;
    }
    EXPECT_GT(answered, 20000);
}

// The cost: at 10^5 normal terms, every census input but the ones left to
// the full scan is decided by settledResult, in O(n) passes (and a sort
// where the slopes near zero are scanned), not by a scan of every interval.
TEST(Settled, TheCensusInputsTakeTheShortcut) {
    const int32_t n = 100000, k = n / 3;
    const std::function<void(Problem &)> changes[] = {
        [&](Problem &x) { x.q[k] = nan; },
        [&](Problem &x) { x.q[k] = inf; },
        [&](Problem &x) { x.q[k] = -inf; },
        [&](Problem &x) { x.q[k] = inf, x.b = -1; },
        [&](Problem &x) { x.q[k] = inf, x.b = 0; },
        [&](Problem &x) { x.p[k] = nan; },
        [&](Problem &x) { x.p[k] = inf; },
        [](Problem &x) { x.a = nan; },
        [](Problem &x) { x.a = inf; },
        [](Problem &x) { x.b = nan; },
        [](Problem &x) { x.b = inf; },
        [](Problem &x) { x.b = -inf; },
        [&](Problem &x) { x.q[k] = 1e300; },
        [&](Problem &x) { x.q[k] = -1e250; },
        [&](Problem &x) { x.p[k] = 1e300; },
        [](Problem &x) { x.a = 1e300; },
        [](Problem &x) { x.b = 1e300; },
        [&](Problem &x) { x.q[k] = 1e300, x.b = 0; },
        [&](Problem &x) {
            x.q[k] = inf, x.p[k + 1] = 1e160, x.q[k + 1] = -1e160, x.p[k + 2] = 1e160,
            x.q[k + 2] = 1e160;
        },
    };
    int row = 0;
    for (const auto &change : changes) {
        double u;
        EXPECT_TRUE(settle(normal(n, change), &u)) << "census row " << row++;
    }
    // b = 1e140 and 1e148: no score overflows, and the pruning's bound,
    // worked in a shifted range, applies.
    for (const double b : {1e140, 1e148}) {
        const Problem x = normal(n, [=](Problem &x) { x.b = b; });
        tarvenloch::Magnitudes magnitudes;
        EXPECT_TRUE(tarvenloch::pruningApplies(x.a, x.b, x.p.data(), x.q.data(), n, &magnitudes))
            << b;
        EXPECT_GT(magnitudes.rangeShift, 0) << b;
    }
}

}  // namespace
