// Linked with -Wl,--wrap=malloc: every malloc of the solver and of the
// batch module's gateway (linked in) comes here first.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "mexhost.h"
#include "tarvenloch.h"

extern "C" void *__real_malloc(size_t size);

namespace {
int failuresLeft = 0;
int requests = 0;
}  // namespace

extern "C" void *__wrap_malloc(size_t size) {
    ++requests;
    if (failuresLeft > 0) {
        --failuresLeft;
        return nullptr;
    }
    return __real_malloc(size);
}

namespace {

TEST(ScratchAllocation, FailureGivesNanAndFalseThenTheNextCallSucceeds) {
    const int32_t n = 2000;  // too large for the solver's stack scratch
    std::vector<double> p(n), q(n);
    for (int32_t k = 0; k < n; ++k) {
        p[k] = 1 + k % 7;
        q[k] = k - 1000.0;
    }
    double u = 0;
    failuresLeft = 1;
    EXPECT_FALSE(minimizeOverBreakpoints(&u, 0.5, 1, p.data(), q.data(), n));
    EXPECT_TRUE(std::isnan(u));

    failuresLeft = 0;
    EXPECT_TRUE(minimizeOverBreakpoints(&u, 0.5, 1, p.data(), q.data(), n));
    EXPECT_FALSE(std::isnan(u));
}

TEST(ScratchAllocation, SmallProblemsNeedNoHeap) {
    const std::vector<double> p = {1, 2, 3}, q = {-1, 0, 4};
    double u = 0;
    requests = 0;
    failuresLeft = 1000;
    EXPECT_TRUE(minimizeOverBreakpoints(&u, 0.5, 1, p.data(), q.data(), 3));
    EXPECT_TRUE(minimizeOverBreakpoints(&u, 0.5, 1, p.data(), q.data(), 0));
    failuresLeft = 0;
    EXPECT_EQ(requests, 0);
}

// A problem too large for the stack scratch.
struct LargeProblem {
    static constexpr int32_t n = 2000;
    std::vector<double> p, q;
    LargeProblem() : p(n), q(n) {
        for (int32_t k = 0; k < n; ++k) {
            p[k] = 1 + k % 7;
            q[k] = k - 1000.0;
        }
    }
    double solve(double a) const {
        double u = 0;
        minimizeOverBreakpoints(&u, a, 1, p.data(), q.data(), n);
        return u;
    }
};

TEST(ScratchAllocation, BatchMarksOnlyTheProblemsWithoutScratch) {
    const LargeProblem large;
    const double a[] = {0.5, 1.5, 2.5};
    const int32_t n[] = {3, LargeProblem::n, 3};
    double results[3] = {0, 0, 0};
    failuresLeft = 1;
    EXPECT_FALSE(
        minimizeBatch(results, 3, a, 1, a, 0, large.p.data(), 0, large.q.data(), 0, n, 1, 1));
    failuresLeft = 0;
    EXPECT_TRUE(std::isnan(results[1]));
    double u = 0;
    minimizeOverBreakpoints(&u, 0.5, 0.5, large.p.data(), large.q.data(), 3);
    EXPECT_EQ(results[0], u);
    minimizeOverBreakpoints(&u, 2.5, 0.5, large.p.data(), large.q.data(), 3);
    EXPECT_EQ(results[2], u);
}

TEST(ScratchAllocation, BatchKeepsOneScratchBlockPerThread) {
    const LargeProblem large;
    std::vector<double> a(50), results(50);
    for (size_t i = 0; i < a.size(); ++i) a[i] = 0.1 * i;
    const int32_t n = LargeProblem::n;
    const double b = 1;
    requests = 0;
    EXPECT_TRUE(minimizeBatch(results.data(), 50, a.data(), 1, &b, 0, large.p.data(), 0,
                              large.q.data(), 0, &n, 0, 1));
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(results[49], large.solve(0.1 * 49));
}

// The batch module's gateway, called as the host calls it, when memory runs
// out: an outOfMemory error, and no array left behind.
std::string batchError(std::vector<mxArray *> inputs, int failures) {
    const long before = mexhostLiveArrays();
    mxArray *output = nullptr;
    std::vector<const mxArray *> arguments(inputs.begin(), inputs.end());
    std::string identifier = "none";
    failuresLeft = failures;
    try {
        mexFunction(1, &output, static_cast<int>(arguments.size()), arguments.data());
    } catch (const mexhost::MexError &error) {
        identifier = error.identifier;
    }
    failuresLeft = 0;
    EXPECT_EQ(output, nullptr);
    mexhostDestroyArray(output);
    for (mxArray *input : inputs) mexhostDestroyArray(input);
    EXPECT_EQ(mexhostLiveArrays(), before - static_cast<long>(inputs.size()));
    return identifier;
}

TEST(ScratchAllocation, BatchModuleReportsOutOfMemoryAndFreesEverything) {
    const LargeProblem large;
    const auto column = [](const std::vector<double> &values) {
        mxArray *array = mexhostCreateArray(mexhostDouble, values.size(), 1, false, false);
        std::copy(values.begin(), values.end(), mexhostValues(array));
        return array;
    };
    // The solver's scratch.
    EXPECT_EQ(
        batchError({mexhost::scalar(0.5), mexhost::scalar(1), column(large.p), column(large.q),
                    mexhost::doubles({3, LargeProblem::n}), mexhost::scalar(1)},
                   2),
        "tarvenloch:outOfMemory");
    // The converted copy of per-problem n.
    EXPECT_EQ(batchError({mexhost::scalar(0.5), mexhost::scalar(1), column({1, 2}), column({3, 4}),
                          mexhost::doubles({1, 2})},
                         1),
              "tarvenloch:outOfMemory");
}

}  // namespace
