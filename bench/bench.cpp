// The literal computation against the module's solver, side by side in one
// run, and the breakpoint sort alone. After the usual table it prints the
// ratio of median times, literal / fast, for each size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "batch.h"
#include "internal.h"
#include "problems.h"
#include "reference.h"
#include "tarvenloch.h"

namespace {

Problem benchProblem(int32_t n) {
    std::mt19937_64 rng(1000 + n);
    return randomProblem(rng, n, 0);
}

void BM_Literal(benchmark::State &state) {
    const Problem problem = benchProblem(static_cast<int32_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(reference::minimize(problem.a, problem.b, problem.p.data(),
                                                     problem.q.data(), problem.n()));
    }
}

void BM_Fast(benchmark::State &state) {
    const Problem problem = benchProblem(static_cast<int32_t>(state.range(0)));
    double u = 0;
    for (auto _ : state) {
        minimizeOverBreakpoints(&u, problem.a, problem.b, problem.p.data(), problem.q.data(),
                                problem.n());
        benchmark::DoNotOptimize(u);
    }
}

std::vector<double> sortInput(int32_t m) {
    std::mt19937_64 rng(m);
    std::vector<double> values(m);
    for (double &x : values) x = std::uniform_real_distribution<double>(0, 100)(rng);
    return values;
}

void BM_SortLiteral(benchmark::State &state) {
    const std::vector<double> input = sortInput(static_cast<int32_t>(state.range(0)));
    std::vector<double> work(input.size());
    for (auto _ : state) {
        std::copy(input.begin(), input.end(), work.begin());
        reference::sort(work.data(), static_cast<int32_t>(work.size()));
        benchmark::ClobberMemory();
    }
}

void BM_SortFast(benchmark::State &state) {
    const std::vector<double> input = sortInput(static_cast<int32_t>(state.range(0)));
    std::vector<double> work(input.size());
    for (auto _ : state) {
        std::copy(input.begin(), input.end(), work.begin());
        sortBreakpoints(work.data(), static_cast<int32_t>(work.size()));
        benchmark::ClobberMemory();
    }
}

// K different problems of n terms each, stored column by column as the
// batch module takes them.
struct BenchBatch {
    int64_t count, rows;
    std::vector<double> a, P, Q, results;
    int32_t n;
    BenchBatch(int64_t k, int32_t terms) : count(k), rows(terms), results(k), n(terms) {
        std::mt19937_64 rng(77 + terms);
        for (int64_t i = 0; i < k; ++i) {
            const Problem problem = randomProblem(rng, terms, 0);
            a.push_back(problem.a);
            P.insert(P.end(), problem.p.begin(), problem.p.end());
            Q.insert(Q.end(), problem.q.begin(), problem.q.end());
        }
    }
    tarvenloch::BatchInput input() {
        return {results.data(), count, a.data(), 1, &kB, 0, P.data(), rows, Q.data(), rows, &n, 0};
    }
    static constexpr double kB = 1.3;
};

constexpr int64_t kBatchProblems = 10000;

// One single call per problem, over the batch's K problems: time per problem.
void BM_SingleCalls(benchmark::State &state) {
    BenchBatch batch(kBatchProblems, static_cast<int32_t>(state.range(0)));
    for (auto _ : state) {
        for (int64_t i = 0; i < batch.count; ++i) {
            minimizeOverBreakpoints(&batch.results[i], batch.a[i], BenchBatch::kB,
                                    &batch.P[i * batch.rows], &batch.Q[i * batch.rows], batch.n);
        }
        benchmark::DoNotOptimize(batch.results.data());
    }
    state.counters["per_problem_ns"] =
        benchmark::Counter(static_cast<double>(state.iterations() * batch.count),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The same K problems in one batch on the calling thread: time per problem.
void BM_Batch(benchmark::State &state) {
    BenchBatch batch(kBatchProblems, static_cast<int32_t>(state.range(0)));
    for (auto _ : state) {
        minimizeBatch(batch.results.data(), batch.count, batch.a.data(), 1, &BenchBatch::kB, 0,
                      batch.P.data(), batch.rows, batch.Q.data(), batch.rows, &batch.n, 0, 1);
        benchmark::DoNotOptimize(batch.results.data());
    }
    state.counters["per_problem_ns"] =
        benchmark::Counter(static_cast<double>(state.iterations() * batch.count),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// BM_Fast's one problem K times over, every input shared (stride 0), on the
// calling thread: the batch's own cost per problem against BM_Fast's call.
void BM_BatchSameProblem(benchmark::State &state) {
    const Problem problem = benchProblem(static_cast<int32_t>(state.range(0)));
    const int32_t n = problem.n();
    std::vector<double> results(kBatchProblems);
    for (auto _ : state) {
        minimizeBatch(results.data(), kBatchProblems, &problem.a, 0, &problem.b, 0,
                      problem.p.data(), 0, problem.q.data(), 0, &n, 0, 1);
        benchmark::DoNotOptimize(results.data());
    }
    state.counters["per_problem_ns"] =
        benchmark::Counter(static_cast<double>(state.iterations() * kBatchProblems),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// K = 10,000 problems of n = 100 terms on 1 or 2 threads.
void BM_BatchThreads(benchmark::State &state) {
    BenchBatch batch(kBatchProblems, 100);
    for (auto _ : state) {
        tarvenloch::solveBatchOnThreads(batch.input(), static_cast<int>(state.range(0)));
        benchmark::DoNotOptimize(batch.results.data());
    }
}

// Where threads start to pay: K problems of n terms on 1 thread and on 2,
// started whatever the work; range(0) is n, range(1) K, range(2) threads.
void BM_BatchStart(benchmark::State &state) {
    BenchBatch batch(state.range(1), static_cast<int32_t>(state.range(0)));
    for (auto _ : state) {
        tarvenloch::solveBatchOnThreads(batch.input(), static_cast<int>(state.range(2)));
        benchmark::DoNotOptimize(batch.results.data());
    }
}

BENCHMARK(BM_SingleCalls)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Batch)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BatchSameProblem)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BatchThreads)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_BatchStart)
    ->ArgsProduct({{10}, {64, 256, 1024, 4096}, {1, 2}})
    ->ArgsProduct({{100}, {4, 16, 64}, {1, 2}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_Literal)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Arg(4000);
BENCHMARK(BM_Fast)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Arg(4000);
BENCHMARK(BM_SortLiteral)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_SortFast)->Arg(100)->Arg(1000)->Arg(10000);

// Collects the median of each benchmark while the console shows them all.
class MedianCollector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> medians;  // "BM_Fast/100" -> ns

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.aggregate_name == "median") {
                medians[run.run_name.str()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void printRatios(const MedianCollector &collector, const char *title, const std::string &literal,
                 const std::string &fast) {
    std::printf("\n%s: median time per call, literal / fast\n", title);
    for (const auto &[name, literalTime] : collector.medians) {
        if (name.rfind(literal + "/", 0) != 0) continue;
        const std::string size = name.substr(literal.size() + 1);
        const auto found = collector.medians.find(fast + "/" + size);
        if (found == collector.medians.end()) continue;
        std::printf("  %-8s %12.1f ns %12.1f ns   %6.2fx\n", size.c_str(), literalTime,
                    found->second, literalTime / found->second);
    }
}

void printBatch(const MedianCollector &collector) {
    const auto median = [&](const std::string &name) {
        const auto found = collector.medians.find(name);
        return found == collector.medians.end() ? 0.0 : found->second;
    };
    const double single = median("BM_SingleCalls/10"), batch = median("BM_Batch/10");
    const double fast = median("BM_Fast/10"), same = median("BM_BatchSameProblem/10");
    const double one = median("BM_BatchThreads/1/real_time"),
                 two = median("BM_BatchThreads/2/real_time");
    if (single > 0 && batch > 0) {
        std::printf(
            "\nbatch, n = 10, K = %lld: %.1f ns a problem; single calls: %.1f ns a "
            "problem; batch / single %.2fx\n",
            static_cast<long long>(kBatchProblems), batch * 1000 / kBatchProblems,
            single * 1000 / kBatchProblems, batch / single);
    }
    if (fast > 0 && same > 0) {
        std::printf(
            "batch of BM_Fast's problem, n = 10: %.1f ns a problem; one call: %.1f ns; "
            "batch / single %.2fx\n",
            same * 1000 / kBatchProblems, fast, same * 1000 / kBatchProblems / fast);
    }
    if (one > 0 && two > 0) {
        std::printf(
            "batch, n = 100, K = %lld: 1 thread %.0f us, 2 threads %.0f us; speed-up "
            "%.2fx\n",
            static_cast<long long>(kBatchProblems), one, two, one / two);
    }
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    static const char *const levels[] = {"portable", "sse2", "avx2", "avx512"};
    std::printf("\nscan level: %s\n", levels[static_cast<int>(tarvenloch::selectedScanLevel())]);
    printRatios(collector, "minimiser, n terms", "BM_Literal", "BM_Fast");
    printRatios(collector, "sort, m values", "BM_SortLiteral", "BM_SortFast");
    printBatch(collector);
    benchmark::Shutdown();
    return 0;
}
