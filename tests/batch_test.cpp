// The batch, through the C interface and through its module file: every
// result is the single call's to the bit, whatever is shared and however
// many threads work; every malformed call raises its error and leaves no
// array behind.
#include "batch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "families.h"
#include "grid.h"
#include "internal.h"
#include "mexhost.h"
#include "module_test.h"
#include "problems.h"
#include "tarvenloch.h"

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

// K problems stored as the module takes them: column i of P and Q, `rows`
// entries each, holds problem i; its n may be anything from empty to rows.
struct Batch {
    int64_t count = 0, rows = 0;
    std::vector<double> a, b, P, Q;
    std::vector<int32_t> n;
};

Batch randomBatch(uint64_t seed, int64_t count, int64_t rows, int specialPercent) {
    std::mt19937_64 rng(seed);
    Batch batch;
    batch.count = count;
    batch.rows = rows;
    for (int64_t i = 0; i < count; ++i) {
        const Problem problem = randomProblem(rng, static_cast<int32_t>(rows), specialPercent);
        batch.a.push_back(problem.a);
        batch.b.push_back(problem.b);
        batch.P.insert(batch.P.end(), problem.p.begin(), problem.p.end());
        batch.Q.insert(batch.Q.end(), problem.q.begin(), problem.q.end());
        const int32_t n =
            std::uniform_int_distribution<int32_t>(-2, static_cast<int32_t>(rows))(rng);
        batch.n.push_back(i % 17 == 5 ? INT32_MIN : n);
    }
    return batch;
}

// Which of a, b, P, Q and n are shared: bit 0 a, 1 b, 2 P, 3 Q, 4 n. A
// shared input is the first problem's, read with stride 0.
bool shares(int form, int input) { return (form >> input & 1) != 0; }

std::vector<double> solveBatch(const Batch &batch, int form, int32_t threads) {
    std::vector<double> results(batch.count, nan);
    EXPECT_TRUE(minimizeBatch(
        results.data(), batch.count, batch.a.data(), shares(form, 0) ? 0 : 1, batch.b.data(),
        shares(form, 1) ? 0 : 1, batch.P.data(), shares(form, 2) ? 0 : batch.rows, batch.Q.data(),
        shares(form, 3) ? 0 : batch.rows, batch.n.data(), shares(form, 4) ? 0 : 1, threads));
    return results;
}

double solveOne(const Batch &batch, int form, int64_t i) {
    const auto pick = [&](int input) { return shares(form, input) ? 0 : i; };
    double u = 0;
    minimizeOverBreakpoints(&u, batch.a[pick(0)], batch.b[pick(1)],
                            batch.P.data() + pick(2) * batch.rows,
                            batch.Q.data() + pick(3) * batch.rows, batch.n[pick(4)]);
    return u;
}

void expectSingleCallBits(const Batch &batch, int form, int32_t threads) {
    const std::vector<double> results = solveBatch(batch, form, threads);
    for (int64_t i = 0; i < batch.count; ++i) {
        ASSERT_EQ(bitsOf(results[i]), bitsOf(solveOne(batch, form, i)))
            << "problem " << i << ", shared inputs " << form << ", threads " << threads;
    }
}

// Named Concurrency.* so that the ThreadSanitizer build runs them.
TEST(Concurrency, BatchGivesTheSingleCallsBitsForEverySharedInputAndThreadCount) {
    const Batch batch = randomBatch(7, 300, 12, 10);
    for (int form = 0; form < 32; ++form) {
        for (int32_t threads : {1, 2, 7, 0}) expectSingleCallBits(batch, form, threads);
    }
    // A negative count is the caller's error, not an empty batch.
    double result = 0;
    EXPECT_FALSE(minimizeBatch(&result, -1, batch.a.data(), 1, batch.b.data(), 1, batch.P.data(),
                               batch.rows, batch.Q.data(), batch.rows, batch.n.data(), 1, 1));
}

TEST(Concurrency, BatchLargeEnoughForThreadsGivesTheSameBitsOnAnyNumberOfThem) {
    const Batch batch = randomBatch(8, 1500, 80, 2);
    const std::vector<double> alone = solveBatch(batch, 0, 1);
    for (int32_t threads : {2, 7, 0}) {
        const std::vector<double> shared = solveBatch(batch, 0, threads);
        for (int64_t i = 0; i < batch.count; ++i) {
            ASSERT_EQ(bitsOf(shared[i]), bitsOf(alone[i])) << "problem " << i << ", " << threads;
        }
    }
    for (int64_t i = 0; i < batch.count; i += 37)
        ASSERT_EQ(bitsOf(alone[i]), bitsOf(solveOne(batch, 0, i)));
    // Shared coefficients with per-problem a, and per-problem n.
    expectSingleCallBits(batch, 0b01100, 7);
}

// Problems whose own work is shared among the batch's threads (forced at
// every size): the single call's bits on 1, 2, 3 and 8 threads, alone, a
// few together, and among many that are not shared.
TEST(Concurrency, SharedProblemsGiveTheSingleCallsBitsOnAnyNumberOfThreads) {
    std::mt19937_64 rng(12);
    const struct {
        Family family;
        int32_t n;
        int count;
    } cases[] = {{Family::Normal, 3000, 1},   {Family::Integer, 800, 2},
                 {Family::Mirrored, 700, 1},  {Family::HeavyTailed, 400, 3},
                 {Family::NonFinite, 300, 1}, {Family::Threshold, 500, 2},
                 {Family::Normal, 60, 40},    {Family::Normal, 40000, 1}};
    for (const auto &c : cases) {
        Batch batch;
        batch.count = c.count;
        batch.rows = c.n;
        for (int i = 0; i < c.count; ++i) {
            const Problem problem = familyProblem(c.family, c.n, rng);
            batch.a.push_back(problem.a);
            batch.b.push_back(problem.b);
            batch.P.insert(batch.P.end(), problem.p.begin(), problem.p.end());
            batch.Q.insert(batch.Q.end(), problem.q.begin(), problem.q.end());
            batch.n.push_back(i % 7 == 3 ? c.n / 2 : c.n);
        }
        for (int threads : {1, 2, 3, 8}) {
            std::vector<double> results(batch.count, nan);
            const tarvenloch::BatchInput input{
                results.data(), batch.count, batch.a.data(), 1,          batch.b.data(), 1,
                batch.P.data(), batch.rows,  batch.Q.data(), batch.rows, batch.n.data(), 1};
            ASSERT_TRUE(solveBatchOnThreads(input, threads, tarvenloch::Split::Always));
            for (int64_t i = 0; i < batch.count; ++i) {
                ASSERT_EQ(bitsOf(results[i]), bitsOf(solveOne(batch, 0, i)))
                    << familyName(c.family) << ", n = " << c.n << ", problem " << i << ", "
                    << threads << " threads";
            }
        }
    }
}

// A team whose threads take the pieces last first, so that later pieces
// tend to end first.
struct LastFirstTeam : tarvenloch::Team {
    explicit LastFirstTeam(int count) {
        threads = count;
        share = [](Team *team, int64_t pieces, void (*body)(void *, int64_t), void *context) {
            std::atomic<int64_t> next{pieces};
            const auto work = [&] {
                for (int64_t piece; (piece = --next) >= 0;) body(context, piece);
            };
            std::vector<std::thread> helpers;
            for (int t = 1; t < team->threads; ++t) helpers.emplace_back(work);
            work();
            for (std::thread &helper : helpers) helper.join();
        };
    }
};

// Each shared pass gives the serial pass's values, not only the same
// result: the breakpoints collected and sorted in the same order, the same
// intervals kept, every estimate and bound to the bit, and the same second
// round (from the same checkpoints of S's linear form). A split that
// changed the order of some sum would still give the right results (the
// bound holds for any order), and fail here.
TEST(Concurrency, SharedPassesGiveTheSerialPassesValues) {
    using tarvenloch::IntervalEstimate;
    using tarvenloch::KeyedBreakpoint;
    std::mt19937_64 rng(13);
    std::vector<Problem> problems;
    for (const auto &[family, n] : {std::pair{Family::Normal, 3000},
                                    {Family::Integer, 2500},
                                    {Family::Mirrored, 1200},
                                    {Family::Normal, 40000},
                                    {Family::Integer, 40000}}) {
        problems.push_back(familyProblem(family, n, rng));
    }
    // Terms with 0 < |p| <= 1e-10, whose kinks are merged in apart.
    Problem tiny = familyProblem(Family::Normal, 1500, rng);
    for (int32_t k = 0; k < tiny.n(); k += 7) tiny.p[k] = k % 2 ? 5e-11 : -1e-10;
    problems.push_back(tiny);
    // Seven kinks shared by thousands of terms each, with slopes that do not
    // add up exactly: flips that many ranges share, whose sums round.
    for (const int32_t n : {3000, 40000}) {
        Problem shared = familyProblem(Family::Normal, n, rng);
        for (int32_t k = 0; k < n; ++k) shared.q[k] = -static_cast<double>(k % 7 - 3) * shared.p[k];
        problems.push_back(shared);
    }
    for (const Problem &problem : problems) {
        const int32_t n = problem.n();
        const double *p = problem.p.data(), *q = problem.q.data();
        tarvenloch::Magnitudes magnitudes;
        ASSERT_TRUE(tarvenloch::pruningApplies(problem.a, problem.b, p, q, n, &magnitudes));
        const int32_t m = tarvenloch::countBreakpoints(p, n);
        const int64_t count = 2 * static_cast<int64_t>(m) + 1;
        struct Values {
            std::vector<KeyedBreakpoint> keyed;
            std::vector<double> kept;
            std::vector<IntervalEstimate> estimates, refined;
            double commonBound = 0;
        };
        const auto solve = [&](tarvenloch::Team *team) {
            Values values;
            values.keyed.assign(m + 1, {});
            tarvenloch::collectKeyedBreakpoints(team, p, q, n, values.keyed.data());
            std::vector<KeyedBreakpoint> spare(m);
            std::vector<double> tables(n + 9),
                scratch(tarvenloch::pruningScratchBytes(n, count) / 8);
            tarvenloch::sortKeyedBreakpoints(values.keyed.data(), m, spare.data(), team,
                                             tables.data(), 8 * tables.size());
            EXPECT_LE(values.keyed[m - 1].r, 1e10);  // the grid ascends, as the pruning needs
            values.keyed.resize(m);  // the room past the last breakpoint holds no value
            values.kept.assign(n + 1, 0);
            values.estimates.assign(n + 2, {});
            int64_t estimated = 0;
            values.kept.resize(tarvenloch::pruneIntervals(
                problem.a, problem.b, p, q, n, magnitudes, values.keyed.data(), m, nullptr, count,
                scratch.data(), values.kept.data(), values.estimates.data(), &estimated,
                &values.commonBound, team));
            values.estimates.resize(estimated);
            // Any values serve as candidates for the second round.
            std::vector<double> u = values.kept;
            values.refined.assign(u.size(), {});
            tarvenloch::refineCandidates(problem.a, problem.b, n, magnitudes, scratch.data(),
                                         u.data(), u.size(), values.refined.data());
            return values;
        };
        const auto bytes = [](const auto &v) {
            return std::string(reinterpret_cast<const char *>(v.data()), v.size() * sizeof v[0]);
        };
        const Values serial = solve(nullptr);
        for (int threads : {2, 3, 8}) {
            LastFirstTeam team(threads);
            const Values shared = solve(&team);
            const std::string where = "n = " + std::to_string(n) +
                                      ", a = " + std::to_string(problem.a) + ", " +
                                      std::to_string(threads);
            EXPECT_EQ(bytes(serial.keyed), bytes(shared.keyed)) << where;
            EXPECT_EQ(bytes(serial.kept), bytes(shared.kept)) << where;
            EXPECT_EQ(bytes(serial.estimates), bytes(shared.estimates)) << where;
            EXPECT_EQ(bytes(serial.refined), bytes(shared.refined)) << where;
            EXPECT_EQ(bitsOf(serial.commonBound), bitsOf(shared.commonBound)) << where;
        }
    }
}

// Candidates +2 and -2 score the same; intervals alternate between them,
// so pieces on every thread hold tied scores. The first interval's must win.
TEST(Concurrency, TiedScoresInPiecesOnDifferentThreadsGoToTheFirstInterval) {
    const std::vector<double> p = {1, -1}, q = {0, 0};
    for (int level = 0; level <= 3; ++level) {
        const auto scanLevel = static_cast<tarvenloch::ScanLevel>(level);
        if (!tarvenloch::scanLevelSupported(scanLevel)) continue;
        for (int64_t count : {9, 40, 203}) {
            for (int threads : {2, 3, 8}) {
                std::vector<double> mid(count + 8), t(count + 8), score(count + 8);
                for (int64_t j = 0; j < count; ++j) mid[j] = j % 2 == 0 ? 1 : -1;
                LastFirstTeam team(threads);
                EXPECT_EQ(2.0, tarvenloch::scanDeduplicated(
                                   tarvenloch::kernelsFor(scanLevel), mid.data(), count, 0, 1,
                                   p.data(), q.data(), 2, t.data(), score.data(), nullptr, &team))
                    << "level " << level << ", " << count << " intervals, " << threads;
            }
        }
    }
}

// The module through the stand-in host.
class BatchGateway : public ModuleTest<BatchGateway> {
public:
    static const char *file() { return TARVENLOCH_BATCH_MODULE_FILE; }

protected:
    static std::vector<double> values(std::vector<mxArray *> inputs) {
        const mexhost::CallResult result = call(std::move(inputs));
        EXPECT_FALSE(result.failed) << result.error.identifier << ": " << result.error.message;
        EXPECT_TRUE(result.outputIsRealDouble);
        EXPECT_EQ(result.rows, 1u);
        EXPECT_EQ(result.columns, result.values.size());
        return result.values;
    }
    // The first rows x columns of values, column by column.
    static mxArray *matrix(const std::vector<double> &values, size_t rows, size_t columns) {
        mxArray *created = array(mexhostDouble, rows, columns);
        std::copy(values.begin(), values.begin() + rows * columns, mexhostValues(created));
        return created;
    }
};

using mexhost::doubles;
using mexhost::scalar;

TEST_F(BatchGateway, EverySharedInputGivesTheSingleCallsBits) {
    const Batch batch = randomBatch(9, 60, 10, 10);
    std::vector<double> nValues(batch.n.begin(), batch.n.end());
    nValues[3] = 3.7;
    nValues[4] = -2.5;
    nValues[6] = nan;
    nValues[7] = 3e9;
    Batch expected = batch;
    expected.n[3] = 3;
    expected.n[4] = -2;
    expected.n[6] = expected.n[7] = INT32_MIN;
    for (int form = 0; form < 32; ++form) {
        const size_t k = form == 31 ? 1 : batch.count;
        const auto columns = [&](int input) { return shares(form, input) ? 1 : batch.count; };
        const std::vector<double> got = values(
            {doubles(std::vector<double>(batch.a.begin(), batch.a.begin() + columns(0))),
             doubles(std::vector<double>(batch.b.begin(), batch.b.begin() + columns(1))),
             matrix(batch.P, batch.rows, columns(2)), matrix(batch.Q, batch.rows, columns(3)),
             doubles(std::vector<double>(nValues.begin(), nValues.begin() + columns(4)))});
        ASSERT_EQ(got.size(), k) << "shared inputs " << form;
        for (size_t i = 0; i < k; ++i) {
            ASSERT_EQ(bitsOf(got[i]), bitsOf(solveOne(expected, form, i)))
                << "problem " << i << ", shared inputs " << form;
        }
    }
}

TEST_F(BatchGateway, ValuesOfAnyNumericOrLogicalClassReadAsTheSingleCallReadsThem) {
    const std::vector<double> P = {1, 1, 5, 1, 2, 5}, Q = {-1, 1, 7, 3, 0, 7};
    const std::vector<double> got = values(
        {array(mexhostInt32, 2, 1, false, false, {2, 3}), array(mexhostLogical, 1, 1, false, true),
         matrix(P, 3, 2), matrix(Q, 3, 2), array(mexhostSingle, 1, 2, true, false, {2, 3.5})});
    ASSERT_EQ(got.size(), 2u);
    double u = 0;
    minimizeOverBreakpoints(&u, 2, 1, P.data(), Q.data(), 2);
    EXPECT_EQ(bitsOf(got[0]), bitsOf(u));
    minimizeOverBreakpoints(&u, 3, 1, P.data() + 3, Q.data() + 3, 3);
    EXPECT_EQ(bitsOf(got[1]), bitsOf(u));
    // No problems, and shared empty columns for empty problems.
    EXPECT_TRUE(values({doubles({}), scalar(1), scalar(1), scalar(1), scalar(1)}).empty());
    EXPECT_EQ(values({doubles({1, 2}), scalar(1), array(mexhostDouble, 0, 1),
                      array(mexhostDouble, 0, 1), doubles({0, -3})}),
              (std::vector<double>{1, 2}));
}

TEST_F(BatchGateway, RejectsMalformedCallsBeforeAnyWork) {
    const auto five = [] {
        return std::vector<mxArray *>{scalar(1), scalar(1), scalar(1), scalar(1), scalar(1)};
    };
    EXPECT_EQ(errorOf({scalar(1), scalar(1), scalar(1), scalar(1)}), "tarvenloch:notEnoughInputs");
    std::vector<mxArray *> seven = five();
    seven.push_back(scalar(1));
    seven.push_back(scalar(1));
    EXPECT_EQ(errorOf(seven), "tarvenloch:tooManyInputs");
    EXPECT_EQ(errorOf(five(), 2), "tarvenloch:tooManyOutputs");
    for (int position : {0, 1, 4}) {
        for (mexhostClass cls : {mexhostChar, mexhostCell}) {
            std::vector<mxArray *> inputs = five();
            mexhostDestroyArray(inputs[position]);
            inputs[position] = array(cls, 1, 1);
            EXPECT_EQ(errorOf(inputs), "tarvenloch:invalidScalar") << position;
        }
        std::vector<mxArray *> inputs = five();
        mexhostDestroyArray(inputs[position]);
        inputs[position] = array(mexhostDouble, 1, 2, false, true);
        EXPECT_EQ(errorOf(inputs), "tarvenloch:invalidScalar") << position;
    }
    for (int position : {2, 3}) {
        for (mexhostClass cls : {mexhostSingle, mexhostInt32, mexhostLogical, mexhostCell}) {
            std::vector<mxArray *> inputs = five();
            mexhostDestroyArray(inputs[position]);
            inputs[position] = array(cls, 1, 1);
            EXPECT_EQ(errorOf(inputs), "tarvenloch:invalidCoefficients") << position;
        }
        for (bool complex : {true, false}) {
            std::vector<mxArray *> inputs = five();
            mexhostDestroyArray(inputs[position]);
            inputs[position] = array(mexhostDouble, 1, 1, complex, !complex);
            EXPECT_EQ(errorOf(inputs), "tarvenloch:invalidCoefficients") << position;
        }
    }
    // Counts that are neither 1 nor K; 0 is a count like any other.
    EXPECT_EQ(errorOf({doubles({1, 2}), doubles({1, 2, 3}), scalar(1), scalar(1), scalar(1)}),
              "tarvenloch:sizeMismatch");
    EXPECT_EQ(errorOf({doubles({}), scalar(1), doubles({1, 1}), scalar(1), scalar(1)}),
              "tarvenloch:sizeMismatch");
    EXPECT_EQ(errorOf({scalar(1), scalar(1), scalar(1), doubles({1, 2}), doubles({1, 1, 1})}),
              "tarvenloch:sizeMismatch");
    // Too few rows for the largest n, in P or in Q; a row vector is K columns.
    EXPECT_EQ(errorOf({scalar(1), scalar(1), array(mexhostDouble, 2, 3), array(mexhostDouble, 3, 3),
                       doubles({1, 3, 2})}),
              "tarvenloch:sizeMismatch");
    EXPECT_EQ(errorOf({scalar(1), scalar(1), array(mexhostDouble, 3, 1), array(mexhostDouble, 2, 1),
                       scalar(2147483647.0)}),
              "tarvenloch:sizeMismatch");
    EXPECT_EQ(errorOf({scalar(1), scalar(1), doubles({1, 2, 3}), doubles({1, 2, 3}), scalar(3)}),
              "tarvenloch:sizeMismatch");
    for (double threads : {0.0, -1.0, 1.5, nan, -std::numeric_limits<double>::infinity()}) {
        std::vector<mxArray *> inputs = five();
        inputs.push_back(scalar(threads));
        EXPECT_EQ(errorOf(inputs), "tarvenloch:invalidThreads") << threads;
    }
    for (mxArray *threads :
         {doubles({}), doubles({2, 2}), array(mexhostChar, 1, 1, false, false, {2}),
          array(mexhostDouble, 1, 1, true, false, {2})}) {
        std::vector<mxArray *> inputs = five();
        inputs.push_back(threads);
        EXPECT_EQ(errorOf(inputs), "tarvenloch:invalidThreads");
    }
}

TEST_F(BatchGateway, AnyPositiveWholeNumberOfThreadsIsAccepted) {
    for (double threads : {1.0, 2.0, 7.0, 1e12}) {
        EXPECT_EQ(values({scalar(2), scalar(1), matrix({1, 1}, 2, 1), matrix({-1, 1}, 2, 1),
                          scalar(2), scalar(threads)}),
                  (std::vector<double>{4}));
    }
    EXPECT_EQ(values({scalar(2), scalar(1), matrix({1, 1}, 2, 1), matrix({-1, 1}, 2, 1), scalar(2),
                      array(mexhostInt32, 1, 1, false, false, {3})}),
              (std::vector<double>{4}));
}

}  // namespace
