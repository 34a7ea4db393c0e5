#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "internal.h"
#include "problems.h"
#include "reference.h"
#include "tarvenloch.h"

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

std::vector<double> sorted(std::vector<double> v) {
    sortBreakpoints(v.data(), static_cast<int32_t>(v.size()));
    return v;
}

TEST(Sort, SmallArraysEndAscending) {
    EXPECT_EQ(sorted({7}), std::vector<double>({7}));
    EXPECT_EQ(sorted({5, 3}), std::vector<double>({3, 5}));
    EXPECT_EQ(sorted({3, 5}), std::vector<double>({3, 5}));
    EXPECT_EQ(sorted({3, 1, 2, 5, 4}), std::vector<double>({1, 2, 3, 4, 5}));
    EXPECT_EQ(sorted({2, 2, 1, 2, 1}), std::vector<double>({1, 1, 2, 2, 2}));
    sortBreakpoints(nullptr, 0);  // nothing to do, nothing touched
}

// Without NaN the order matches the sift passes', zeros' signs aside (== is
// blind to them), at every size and with many repeated values.
TEST(Sort, RandomArraysWithoutNanEndAsTheSiftPassesLeaveThem) {
    std::mt19937_64 rng(7);
    for (int32_t m = 1; m <= 300; ++m) {
        std::vector<double> v(m);
        for (double &x : v) x = std::uniform_int_distribution<int>(-20, 20)(rng) * 0.25;
        if (m % 3 == 0) v[0] = -0.0;
        std::vector<double> expected = v;
        reference::sort(expected.data(), m);
        EXPECT_TRUE(std::is_sorted(expected.begin(), expected.end()));
        EXPECT_EQ(sorted(v), expected) << "m = " << m;
    }
}

TEST(Sort, SignedZerosCompareEqualAndKeepTheirPlaceAmongOthers) {
    const std::vector<double> out = sorted({1, -0.0, 0.0, -0.0, -1, 0.0});
    EXPECT_EQ(out.front(), -1);
    EXPECT_EQ(out.back(), 1);
    int negative = 0;
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(out[i], 0.0);
        negative += std::signbit(out[i]) ? 1 : 0;
    }
    EXPECT_EQ(negative, 2);  // every zero kept, none turned into another
}

// NaN fails every comparison, so the right child is chosen next to a NaN and
// a NaN is never moved up by a pass; the order that results is defined by
// the steps alone (worked by hand here).
TEST(Sort, NanOrdersFollowTheSiftPassRules) {
    const std::vector<double> a = sorted({nan, 1, 2});
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(a[1], 2);
    EXPECT_TRUE(std::isnan(a[2]));
    const std::vector<double> b = sorted({1, nan, 3});
    EXPECT_TRUE(std::isnan(b[0]));
    EXPECT_EQ(b[1], 1);
    EXPECT_EQ(b[2], 3);
}

TEST(Sort, AgreesWithTheSiftPassSortBitForBitWhenNanIsPresent) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 2000; ++trial) {
        const int32_t m = std::uniform_int_distribution<int32_t>(1, 70)(rng);
        std::vector<double> v(m);
        for (double &x : v) x = std::fabs(awkwardValue(rng, 100, 30));
        if (std::none_of(v.begin(), v.end(), [](double x) { return std::isnan(x); })) v[0] = nan;
        std::vector<double> expected = v;
        reference::sort(expected.data(), m);
        const std::vector<double> got = sorted(v);
        for (int32_t i = 0; i < m; ++i) ASSERT_EQ(bitsOf(got[i]), bitsOf(expected[i])) << trial;
    }
}

TEST(Sort, SiftPassMovesTheLargestToTheRootAndNeverSwapsEquals) {
    std::vector<double> v = {1, 4, 4, 9, 2, 4, 4};
    tarvenloch::siftPass(v.data(), 2, 7);
    EXPECT_EQ(v[0], 9);
    std::vector<double> zeros = {0.0, -0.0};
    tarvenloch::siftPass(zeros.data(), 0, 2);
    EXPECT_FALSE(std::signbit(zeros[0]));
    tarvenloch::siftPass(zeros.data(), -1, 2);  // a negative start does nothing
    EXPECT_TRUE(std::signbit(zeros[1]));
}


// The keyed sort (a radix sort on single-precision keys from 288 values
// on, bytes or 11-bit digits, then runs of equal keys by value) must give the sift-pass order of
// the values: values that share a single-precision key, zeros of both
// signs, infinities, subnormals and repeated values, on both sides of the
// switch to the radix sort.
TEST(Sort, KeyedSortOrdersValuesAsTheBreakpointSortDoes) {
    std::mt19937_64 rng(13);
    for (int32_t m : {1, 2, 100, 287, 288, 289, 3071, 3072, 5000}) {
        for (int kind = 0; kind < 4; ++kind) {
            std::vector<tarvenloch::KeyedBreakpoint> keyed(m);
            std::vector<double> values(m);
            for (int32_t i = 0; i < m; ++i) {
                double r = std::uniform_real_distribution<double>(0, 100)(rng);
                if (kind == 1) r = 1 + std::uniform_int_distribution<int>(0, 1 << 20)(rng) * 0x1p-52;
                if (kind == 2) r = std::uniform_int_distribution<int>(0, 3)(rng);
                if (kind == 3) {
                    const double special[] = {0.0, -0.0, 4.9e-324, 2.2e-308, 1e308,
                                              std::numeric_limits<double>::infinity(), 1.5};
                    r = special[std::uniform_int_distribution<int>(0, 6)(rng)];
                }
                keyed[i] = {r, i, 0};
                values[i] = r;
            }
            const std::vector<double> original = values;
            std::vector<tarvenloch::KeyedBreakpoint> spare(m);
            tarvenloch::sortKeyedBreakpoints(keyed.data(), m, spare.data());
            // Any correct sort orders NaN-free values alike; the sift passes
            // are too slow for the largest sizes.
            if (m <= 5000) {
                reference::sort(values.data(), m);
            } else {
                std::sort(values.begin(), values.end());
            }
            std::vector<bool> seen(m, false);
            for (int32_t i = 0; i < m; ++i) {
                ASSERT_EQ(keyed[i].r, values[i]) << "m = " << m << ", kind " << kind << ", i " << i;
                ASSERT_FALSE(seen[keyed[i].term]);  // every term once, with its own value
                seen[keyed[i].term] = true;
                ASSERT_EQ(bitsOf(keyed[i].r), bitsOf(original[keyed[i].term]));
            }
        }
    }
}
}  // namespace
