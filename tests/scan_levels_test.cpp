// Every scan level this machine supports against the literal computation,
// bit for bit, over interval counts that reach every block size and tail.
#include <gtest/gtest.h>

#include <random>

#include "internal.h"
#include "problems.h"
#include "reference.h"

namespace {

using tarvenloch::ScanLevel;

class ScanLevels : public ::testing::TestWithParam<ScanLevel> {
protected:
    void SetUp() override {
        if (!tarvenloch::scanLevelSupported(GetParam())) GTEST_SKIP() << "not supported here";
    }
    void expectAgreement(const Problem &problem, const char *what, int trial) {
        double u = 0;
        ASSERT_TRUE(tarvenloch::minimizeWithScan(GetParam(), &u, problem.a, problem.b,
                                                 problem.p.data(), problem.q.data(), problem.n()));
        const double expected = reference::minimize(problem.a, problem.b, problem.p.data(),
                                                    problem.q.data(), problem.n());
        ASSERT_EQ(bitsOf(u), bitsOf(expected))
            << what << " trial " << trial << ", n = " << problem.n();
    }
};

TEST_P(ScanLevels, EveryTermCountUpToThreeHundred) {
    std::mt19937_64 rng(17);
    for (int32_t n = 1; n <= 300; ++n) {
        for (int repeat = 0; repeat < 3; ++repeat) {
            expectAgreement(randomProblem(rng, n, repeat == 0 ? 0 : 4), "small", n);
        }
    }
}

TEST_P(ScanLevels, AwkwardValuesEverywhere) {
    std::mt19937_64 rng(23);
    for (int trial = 0; trial < 20000; ++trial) {
        const int32_t n = std::uniform_int_distribution<int32_t>(0, 40)(rng);
        expectAgreement(randomProblem(rng, n, 30), "awkward", trial);
    }
}

TEST_P(ScanLevels, ThousandsOfTerms) {
    std::mt19937_64 rng(29);
    // Without any non-finite value, repeated intervals are dropped first.
    for (int32_t n : {1000, 2049, 3001}) {
        expectAgreement(randomProblem(rng, n, 0), "large", n);
        expectAgreement(randomProblem(rng, n, 1), "large, awkward", n);
    }
}

TEST(ScanLevelSelection, PicksASupportedLevelOnce) {
    const ScanLevel level = tarvenloch::selectedScanLevel();
    EXPECT_TRUE(tarvenloch::scanLevelSupported(level));
    EXPECT_EQ(level, tarvenloch::selectedScanLevel());
}

std::string levelName(const ::testing::TestParamInfo<ScanLevel> &info) {
    static const char *const names[] = {"Portable", "Sse2", "Avx2", "Avx512"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Levels, ScanLevels,
                         ::testing::Values(ScanLevel::Portable, ScanLevel::Sse2, ScanLevel::Avx2,
                                           ScanLevel::Avx512),
                         levelName);

}  // namespace
