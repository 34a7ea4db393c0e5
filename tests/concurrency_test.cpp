// Calls running at once share nothing: several threads solving the same
// problems, directly and through the module file, get the serial results.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "mexhost.h"
#include "problems.h"
#include "tarvenloch.h"

namespace {

constexpr int kThreads = 4;

std::vector<Problem> problems() {
    std::mt19937_64 rng(41);
    std::vector<Problem> list;
    for (int i = 0; i < 300; ++i) {
        // Up to 400 terms, so that heap scratch and dropped intervals are used too.
        const int32_t n = i % 25 == 0 ? 400 : std::uniform_int_distribution<int32_t>(0, 40)(rng);
        list.push_back(randomProblem(rng, n, i % 2 == 0 ? 0 : 5));
    }
    return list;
}

double solve(const Problem &problem) {
    double u = 0;
    minimizeOverBreakpoints(&u, problem.a, problem.b, problem.p.data(), problem.q.data(),
                            problem.n());
    return u;
}

TEST(Concurrency, ThreadsCallingTheSolverGetTheSerialResults) {
    const std::vector<Problem> list = problems();
    std::vector<uint64_t> serial;
    for (const Problem &problem : list) serial.push_back(bitsOf(solve(problem)));

    std::vector<std::vector<uint64_t>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (size_t i = 0; i < list.size(); ++i) {
                    // Each thread walks the list from its own starting point.
                    const size_t at = (i + t * 37) % list.size();
                    results[t].push_back(bitsOf(solve(list[at])));
                }
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        for (size_t i = 0; i < results[t].size(); ++i) {
            ASSERT_EQ(results[t][i], serial[(i % list.size() + t * 37) % list.size()])
                << "thread " << t;
        }
    }
}

TEST(Concurrency, ThreadsCallingTheModuleGetTheSerialResults) {
    const mexhost::Module module(TARVENLOCH_MODULE_FILE);
    const std::vector<Problem> list = problems();
    auto call = [&module](const Problem &problem, bool badCall) {
        std::vector<mxArray *> inputs = {mexhost::scalar(problem.a), mexhost::scalar(problem.b),
                                         mexhost::doubles(problem.p), mexhost::doubles(problem.q),
                                         mexhost::scalar(badCall ? problem.n() + 1 : problem.n())};
        const mexhost::CallResult result = module.call(1, inputs);
        for (mxArray *input : inputs) mexhostDestroyArray(input);
        return result;
    };
    std::vector<std::vector<mexhost::CallResult>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < list.size(); ++i)
                results[t].push_back(call(list[i], (i + t) % 3 == 0));
        });
    }
    for (std::thread &thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        for (size_t i = 0; i < list.size(); ++i) {
            const mexhost::CallResult &result = results[t][i];
            if ((i + t) % 3 == 0) {
                ASSERT_TRUE(result.failed);
                ASSERT_EQ(result.error.identifier, "tarvenloch:tooFewElements");
            } else {
                ASSERT_FALSE(result.failed);
                ASSERT_EQ(bitsOf(result.value), bitsOf(solve(list[i])));
            }
        }
    }
}

}  // namespace
