// Linked with -Wl,--wrap=malloc: every malloc of the solver comes here first.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

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

}  // namespace
