// Families of problems built to break shortcuts: exact ties, zero and
// subnormal weights, slopes spread over many orders of magnitude or
// cancelling, values near overflow, subnormal kinks and kinks past the
// grid's sentinels, slopes at the breakpoint threshold, and a few NaN and
// infinities. Shared by the tests, the benchmarks and the fuzzers.
#ifndef TARVENLOCH_TESTS_FAMILIES_H
#define TARVENLOCH_TESTS_FAMILIES_H

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "problems.h"

enum class Family : int {
    Normal,       // normal p and q, b = 1
    Convex,       // b = -1
    HeavyTailed,  // |p| from 1e-8 to 1e8
    Integer,      // small integers: kinks coincide, candidates tie
    Mirrored,     // pairs p, -p with equal q
    ZeroWeight,   // b = +0 or -0
    SubnormalWeight,
    Cancelling,    // +-2^40 plus noise
    NearOverflow,  // magnitudes near 1e150
    SubnormalKinks,
    PastSentinels,  // kinks beyond +-1e10
    Threshold,      // slopes at and around +-1e-10
    NonFinite,      // a few NaN and infinities
    Count
};

inline const char *familyName(Family family) {
    static const char *const names[] = {
        "Normal",        "Convex",          "HeavyTailed", "Integer",      "Mirrored",
        "ZeroWeight",    "SubnormalWeight", "Cancelling",  "NearOverflow", "SubnormalKinks",
        "PastSentinels", "Threshold",       "NonFinite"};
    return names[static_cast<int>(family)];
}

inline Problem familyProblem(Family family, int32_t n, std::mt19937_64 &rng) {
    std::normal_distribution<double> normal(0, 1);
    std::uniform_real_distribution<double> unit(0, 1);
    std::uniform_int_distribution<int> small(-6, 6);
    auto pick = [&](int choices) {
        return std::uniform_int_distribution<int>(0, choices - 1)(rng);
    };
    Problem problem;
    problem.a = normal(rng);
    problem.b = 1;
    problem.p.resize(n);
    problem.q.resize(n);
    for (int32_t k = 0; k < n; ++k) {
        problem.p[k] = 4 * normal(rng);
        problem.q[k] = 8 * normal(rng);
    }
    switch (family) {
        case Family::Normal:
            break;
        case Family::Convex:
            problem.b = -1;
            break;
        case Family::HeavyTailed:
            for (int32_t k = 0; k < n; ++k) {
                problem.p[k] = std::copysign(std::pow(10.0, 16 * unit(rng) - 8), normal(rng));
                problem.q[k] = problem.p[k] * 5 * normal(rng);
            }
            problem.b = pick(2) ? 1.0 : -0.5;
            break;
        case Family::Integer:
            for (int32_t k = 0; k < n; ++k) {
                problem.p[k] = small(rng);
                problem.q[k] = small(rng);
            }
            problem.a = small(rng);
            problem.b = pick(3) - 1.0;
            break;
        case Family::Mirrored:
            for (int32_t k = 1; k < n; k += 2) {
                problem.p[k] = -problem.p[k - 1];
                problem.q[k] = problem.q[k - 1];
            }
            problem.b = pick(2) ? 1.0 : 0.25;
            break;
        case Family::ZeroWeight:
            problem.b = pick(2) ? 0.0 : -0.0;
            if (pick(2)) problem.a = pick(2) ? 0.0 : -0.0;
            break;
        case Family::SubnormalWeight:
            problem.b = std::copysign(std::ldexp(1.0 + pick(1000), -1074 + pick(40)), normal(rng));
            if (pick(3) == 0) problem.a = 0;
            break;
        case Family::Cancelling:
            for (int32_t k = 0; k < n; ++k) {
                problem.p[k] = (k % 2 ? 1 : -1) * 0x1p40 + normal(rng);
                problem.q[k] = 0x1p40 * normal(rng);
            }
            problem.b = pick(2) ? 1e-12 : -1e-12;
            break;
        case Family::NearOverflow:
            for (int32_t k = 0; k < n; ++k) {
                problem.p[k] *= 1e150;
                problem.q[k] *= pick(2) ? 1e150 : 1e140;
            }
            problem.a *= 1e150;
            problem.b = pick(2) ? 1e-150 : 1.0;
            break;
        case Family::SubnormalKinks:
            for (int32_t k = 0; k < n; ++k) {
                if (pick(2)) problem.q[k] = std::ldexp(normal(rng), -1060 + pick(30));
            }
            problem.a = std::ldexp(normal(rng), -1050);
            problem.b = pick(2) ? 1e-300 : 1.0;
            break;
        case Family::PastSentinels:
            for (int32_t k = 0; k < n; ++k) {
                if (pick(4) == 0) problem.q[k] = problem.p[k] * (pick(2) ? 1e10 : 3e11);
            }
            break;
        case Family::Threshold: {
            const double near[] = {1e-10,
                                   -1e-10,
                                   std::nextafter(1e-10, 1.0),
                                   -std::nextafter(1e-10, 1.0),
                                   std::nextafter(1e-10, 0.0),
                                   3e-11,
                                   0.0,
                                   -0.0};
            for (int32_t k = 0; k < n; ++k) {
                if (pick(3) == 0) problem.p[k] = near[pick(8)];
            }
            break;
        }
        case Family::NonFinite: {
            const double inf = std::numeric_limits<double>::infinity();
            const double special[] = {std::numeric_limits<double>::quiet_NaN(), inf, -inf};
            const int32_t at = pick(n > 0 ? n : 1);
            if (n > 0) {
                if (pick(2)) {
                    problem.p[at] = special[pick(3)];
                } else {
                    problem.q[at] = special[pick(3)];
                }
            } else {
                problem.a = special[pick(3)];
            }
            break;
        }
        case Family::Count:
            break;
    }
    return problem;
}

#endif
