// Random problems for the differential tests and benchmarks, biased towards
// the values where a careless implementation goes wrong.
#ifndef TARVENLOCH_TESTS_PROBLEMS_H
#define TARVENLOCH_TESTS_PROBLEMS_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

struct Problem {
    double a = 0, b = 0;
    std::vector<double> p, q;
    int32_t n() const { return static_cast<int32_t>(p.size()); }
};

inline uint64_t bitsOf(double x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

// A value that is usually ordinary and sometimes one of the awkward ones:
// signed zeros, the breakpoint threshold and its neighbours, NaN, infinities,
// subnormals, and magnitudes near and past the grid's sentinels.
inline double awkwardValue(std::mt19937_64 &rng, double scale, int specialPercent) {
    std::uniform_real_distribution<double> uniform(-scale, scale);
    std::uniform_int_distribution<int> percent(0, 99);
    if (percent(rng) >= specialPercent) return uniform(rng);
    const double inf = std::numeric_limits<double>::infinity();
    static const double specials[] = {0.0,
                                      -0.0,
                                      1e-10,
                                      -1e-10,
                                      std::nextafter(1e-10, 1.0),
                                      -std::nextafter(1e-10, 1.0),
                                      std::nextafter(1e-10, 0.0),
                                      5e-11,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      inf,
                                      -inf,
                                      4.9e-324,
                                      -2.2e-308,
                                      1e10,
                                      -1e10,
                                      3e10,
                                      1e200,
                                      -1e-200,
                                      1.0,
                                      -1.0,
                                      0.5};
    return specials[std::uniform_int_distribution<size_t>(0, std::size(specials) - 1)(rng)];
}

// Terms drawn from a few repeated ones, so kinks coincide and candidates tie.
inline Problem randomProblem(std::mt19937_64 &rng, int32_t n, int specialPercent) {
    Problem problem;
    problem.a = awkwardValue(rng, 10, specialPercent / 2);
    problem.b = awkwardValue(rng, 3, specialPercent / 2);
    const bool repeats = std::uniform_int_distribution<int>(0, 3)(rng) == 0;
    for (int32_t k = 0; k < n; ++k) {
        if (repeats && k > 0 && std::uniform_int_distribution<int>(0, 2)(rng) == 0) {
            const auto from = std::uniform_int_distribution<int32_t>(0, k - 1)(rng);
            problem.p.push_back(problem.p[from]);
            problem.q.push_back(problem.q[from]);
            continue;
        }
        problem.p.push_back(awkwardValue(rng, 4, specialPercent));
        problem.q.push_back(awkwardValue(rng, 8, specialPercent));
    }
    return problem;
}

#endif
