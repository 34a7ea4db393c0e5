// Writes a file of module calls for `mexhost-run MODULE --calls FILE`: the
// worked examples, conversions of the fifth input, unsafe calls, and random
// problems with awkward values. Two builds of the module (Linux and Windows)
// run the same file and must print the same results.
//   make_calls COUNT SEED > calls.txt
//   make_calls COUNT SEED batch > calls.txt    calls of tarvenloch_batch
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "problems.h"

namespace {

struct Array {
    int cls = 0;  // 0 double, 1 single, 2 int32, 3 logical, 4 char, 5 cell
    size_t rows = 1, columns = 0;
    bool complex = false, sparse = false;
    std::vector<double> values;
};

Array doubles(const std::vector<double> &values) {
    return {0, 1, values.size(), false, false, values};
}
Array scalar(double value) { return doubles({value}); }
Array of(int cls, bool complex = false, bool sparse = false) {
    return {cls, 1, 1, complex, sparse, {1.0}};
}
Array matrix(size_t rows, size_t columns, const std::vector<double> &values) {
    return {0, rows, columns, false, false, values};
}

void write(int nlhs, const std::vector<Array> &inputs) {
    std::printf("%d %zu", nlhs, inputs.size());
    for (const Array &array : inputs) {
        std::printf(" %d %zu %zu %d %d", array.cls, array.rows, array.columns,
                    array.complex ? 1 : 0, array.sparse ? 1 : 0);
        for (double value : array.values) std::printf(" %016" PRIx64, bitsOf(value));
    }
    std::printf("\n");
}

// Batch calls: K problems with a, b, P, Q and n each shared or per problem,
// on 1, 2 or the default number of threads, a few large enough to start
// threads, and malformed calls.
void writeBatchCalls(int count, std::mt19937_64 &rng) {
    write(1, {scalar(0.3), scalar(1), matrix(2, 2, {1, 0, 1, 1}), matrix(2, 2, {-2, 0, -1, 1}),
              doubles({1, 2})});
    write(1, {doubles({}), scalar(1), scalar(1), scalar(1), scalar(1)});
    write(1, {scalar(1), scalar(1), scalar(1), scalar(1)});
    write(1, {scalar(1), scalar(1), scalar(1), scalar(1), scalar(1), scalar(1), scalar(1)});
    write(2, {scalar(1), scalar(1), scalar(1), scalar(1), scalar(1)});
    write(1, {of(4), scalar(1), scalar(1), scalar(1), scalar(1)});
    write(1, {scalar(1), scalar(1), of(1), scalar(1), scalar(1)});
    write(1, {doubles({1, 2}), doubles({1, 2, 3}), scalar(1), scalar(1), scalar(1)});
    write(1, {scalar(1), scalar(1), doubles({1, 2, 3}), doubles({1, 2, 3}), scalar(3)});
    write(1, {scalar(1), scalar(1), scalar(1), scalar(1), scalar(1), scalar(0)});
    write(1, {scalar(1), scalar(1), scalar(1), scalar(1), scalar(1), scalar(1.5)});
    for (int i = 0; i < count; ++i) {
        const bool large = i % 40 == 0;
        const size_t K = std::uniform_int_distribution<size_t>(0, large ? 2000 : 30)(rng);
        const size_t rows = std::uniform_int_distribution<size_t>(0, large ? 60 : 12)(rng);
        const int form = std::uniform_int_distribution<int>(0, 31)(rng);
        const auto width = [&](int input) { return (form >> input & 1) ? size_t{1} : K; };
        Array a = doubles({}), b = doubles({}), n = doubles({});
        Array P = matrix(rows, width(2), {}), Q = matrix(rows, width(3), {});
        for (size_t k = 0; k < width(0); ++k) a.values.push_back(awkwardValue(rng, 10, 5));
        for (size_t k = 0; k < width(1); ++k) b.values.push_back(awkwardValue(rng, 3, 5));
        for (size_t k = 0; k < rows * width(2); ++k) P.values.push_back(awkwardValue(rng, 4, 10));
        for (size_t k = 0; k < rows * width(3); ++k) Q.values.push_back(awkwardValue(rng, 8, 10));
        for (size_t k = 0; k < width(4); ++k) {
            n.values.push_back(std::uniform_int_distribution<int>(-2, static_cast<int>(rows))(rng) +
                               (k % 5 == 1 ? 0.5 : 0.0));
        }
        a.columns = a.values.size();
        b.columns = b.values.size();
        n.columns = n.values.size();
        std::vector<Array> inputs = {a, b, P, Q, n};
        if (i % 3 != 0) inputs.push_back(scalar(1 + i % 3));
        write(1, inputs);
    }
}

}  // namespace

int main(int argc, char **argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    std::mt19937_64 rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1);
    if (argc > 3 && std::string(argv[3]) == "batch") {
        writeBatchCalls(count, rng);
        return 0;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    write(1, {scalar(0.3), scalar(1), scalar(1), scalar(-2), scalar(1)});
    write(0, {scalar(0.3), scalar(1), scalar(1), scalar(0), scalar(1)});
    write(1, {scalar(2), scalar(1), doubles({1, 1}), doubles({-1, 1}), scalar(2)});
    write(1, {scalar(0.5), scalar(1), doubles({1, 2}), doubles({0.5, -inf}), scalar(2)});
    write(1, {scalar(0), scalar(-1), scalar(1e200), scalar(1e200), scalar(1)});
    for (double n : {3.7, -2.5, nan, inf, -inf, 3e9, -0.0, 2147483648.0}) {
        write(1,
              {scalar(0.5), scalar(1), doubles({1, -2, 3, 5}), doubles({4, 1, -2, 7}), scalar(n)});
    }
    // Unsafe calls: each must raise the same error everywhere.
    write(1, {});
    write(1, {scalar(1), scalar(1), scalar(1), scalar(1)});
    write(2, {scalar(1), scalar(1), scalar(1), scalar(1), scalar(1)});
    write(1, {of(4), scalar(1), scalar(1), scalar(1), scalar(1)});
    write(1, {scalar(1), doubles({}), scalar(1), scalar(1), scalar(1)});
    write(1, {scalar(1), scalar(1), scalar(1), scalar(1), of(5)});
    write(1, {scalar(1), scalar(1), of(1), scalar(1), scalar(1)});
    write(1, {scalar(1), scalar(1), scalar(1), of(0, true), scalar(1)});
    write(1, {scalar(1), scalar(1), of(0, false, true), scalar(1), scalar(1)});
    write(1, {scalar(1), scalar(1), doubles({1, 2}), doubles({1, 2, 3}), scalar(3)});
    write(1, {scalar(1), scalar(1), doubles({1}), doubles({1}), scalar(2147483647.0)});

    for (int i = 0; i < count; ++i) {
        const int32_t n = std::uniform_int_distribution<int32_t>(0, i % 50 == 0 ? 300 : 12)(rng);
        const Problem problem = randomProblem(rng, n, i % 3 == 0 ? 20 : 2);
        write(1, {scalar(problem.a), scalar(problem.b), doubles(problem.p), doubles(problem.q),
                  scalar(n)});
    }
    return 0;
}
