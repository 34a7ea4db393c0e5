// Every scan level this machine supports against the literal computation,
// bit for bit, over interval counts that reach every block size and tail.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

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

// The slopes with the terms' known signs against the slopes kernel, bit
// for bit, on midpoints in any order within ranges from a few ulps to
// thousands wide, some of them on a term's kink, so that terms of every
// kind keep one sign or vary. It fails if a sign is read off one end of
// the range alone, or the range is taken from the first and last midpoints.
TEST_P(ScanLevels, KnownSignsGiveTheSlopesBitForBit) {
    std::mt19937_64 rng(31);
    const tarvenloch::ScanKernels kernels = tarvenloch::kernelsFor(GetParam());
    const auto uniform = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };
    for (int trial = 0; trial < 4000; ++trial) {
        const Problem problem = randomProblem(rng, uniform(1, 60), trial % 4 == 0 ? 10 : 0);
        const int32_t n = problem.n();
        const double *p = problem.p.data(), *q = problem.q.data();
        const int64_t count = uniform(1, 80);
        const double width = std::ldexp(1.0, uniform(-60, 12));
        double centre = awkwardValue(rng, 4, 0);
        std::vector<double> mid(count + 8), copy(count + 8), t(count + 8), known(count + 8);
        for (int64_t j = 0; j < count; ++j) {
            const int32_t k = uniform(0, n - 1);
            if (uniform(0, 3) == 0 && p[k] != 0) centre = -(q[k] / p[k]);
            mid[j] = centre + width * std::uniform_real_distribution<double>(-1, 1)(rng);
        }
        std::vector<unsigned char> signs(n);
        if (!tarvenloch::knownSigns(mid.data(), count, p, q, n, signs.data())) continue;
        copy = mid;
        kernels.slopes(copy.data(), count, p, q, n, t.data());
        copy = mid;
        kernels.signedSlopes(copy.data(), count, p, q, signs.data(), n, known.data());
        for (int64_t j = 0; j < count; ++j)
            ASSERT_EQ(bitsOf(t[j]), bitsOf(known[j])) << "trial " << trial << ", interval " << j;
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
