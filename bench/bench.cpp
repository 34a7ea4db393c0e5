// The literal computation against the module's solver, side by side in one
// run, on several families of data; the batch against single calls and on
// one thread against two; the full scan alone (every interval
// that does not repeat its neighbour, no pruning) for the crossover and the
// chart; and the breakpoint sort alone. After the usual table it prints the
// ratios of median times.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "batch.h"
#include "families.h"
#include "grid.h"
#include "internal.h"
#include "problems.h"
#include "reference.h"
#include "tarvenloch.h"

namespace {

using tarvenloch::Strategy;

// The families the goals name, plus degenerate data where most candidates
// tie (b = 0: every score is zero).
struct BenchFamily {
    const char *name;
    Family family;
};
const BenchFamily kFamilies[] = {{"normal", Family::Normal},
                                 {"convex", Family::Convex},
                                 {"heavy", Family::HeavyTailed},
                                 {"integer", Family::Integer},
                                 {"degenerate", Family::ZeroWeight}};

Problem benchProblem(Family family, int32_t n) {
    std::mt19937_64 rng(1000 + n);
    Problem problem = familyProblem(family, n, rng);
    if (family == Family::HeavyTailed) problem.b = 1;
    return problem;
}

void literal(benchmark::State &state, Family family) {
    const Problem problem = benchProblem(family, static_cast<int32_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(reference::minimize(problem.a, problem.b, problem.p.data(),
                                                     problem.q.data(), problem.n()));
    }
}

// The public entry point, scratch and all, as the module calls it; or, with
// a strategy forced, the minimiser with scratch kept from call to call.
void solver(benchmark::State &state, Family family, Strategy strategy) {
    const Problem problem = benchProblem(family, static_cast<int32_t>(state.range(0)));
    const tarvenloch::SolveOptions options = {tarvenloch::selectedScanLevel(), strategy};
    tarvenloch::Workspace workspace;
    double u = 0;
    for (auto _ : state) {
        if (strategy == Strategy::Automatic) {
            minimizeOverBreakpoints(&u, problem.a, problem.b, problem.p.data(), problem.q.data(),
                                    problem.n());
        } else {
            tarvenloch::minimize(options, workspace, &u, problem.a, problem.b, problem.p.data(),
                                 problem.q.data(), problem.n());
        }
        benchmark::DoNotOptimize(u);
    }
}

// The floor of any exact method, measured with the solver's own pieces:
// the breakpoints collected with their terms (p and q read once, one
// division a term) and sorted, one pass of sums over the terms, and the
// exact slopes and scores of two intervals. What the solver takes above it
// is what finding those two intervals costs.
void floorOf(benchmark::State &state, Family family) {
    const Problem problem = benchProblem(family, static_cast<int32_t>(state.range(0)));
    const int32_t n = problem.n(), m = tarvenloch::countBreakpoints(problem.p.data(), n);
    const double *p = problem.p.data(), *q = problem.q.data();
    const tarvenloch::ScanKernels kernels = tarvenloch::kernelsFor(tarvenloch::selectedScanLevel());
    std::vector<tarvenloch::KeyedBreakpoint> keyed(n + 1), spare(n + 1);
    double mid[16] = {}, t[16] = {}, score[16] = {};
    tarvenloch::Magnitudes magnitudes;
    for (auto _ : state) {
        tarvenloch::collectKeyedBreakpoints(p, q, n, keyed.data());
        tarvenloch::sortKeyedBreakpoints(keyed.data(), m, spare.data());
        benchmark::DoNotOptimize(
            tarvenloch::pruningApplies(problem.a, problem.b, p, q, n, &magnitudes));
        mid[0] = keyed[0].r;
        mid[1] = keyed[m > 0 ? m - 1 : 0].r;
        kernels.slopes(mid, 2, p, q, n, t);
        for (int j = 0; j < 2; ++j) t[j] = t[j] * problem.b + problem.a;
        kernels.values(t, 2, problem.a, problem.b, p, q, n, score);
        benchmark::DoNotOptimize(score[0] + score[1]);
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
BENCHMARK(BM_SortLiteral)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_SortFast)->Arg(100)->Arg(1000)->Arg(10000);

// A random problem, as the batch benchmarks below draw them.
Problem randomBenchProblem(int32_t n) {
    std::mt19937_64 rng(1000 + n);
    return randomProblem(rng, n, 0);
}

// The public entry point on one such problem, for the batch comparison.
void BM_Fast(benchmark::State &state) {
    const Problem problem = randomBenchProblem(static_cast<int32_t>(state.range(0)));
    double u = 0;
    for (auto _ : state) {
        minimizeOverBreakpoints(&u, problem.a, problem.b, problem.p.data(), problem.q.data(),
                                problem.n());
        benchmark::DoNotOptimize(u);
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
}

// The same K problems in one batch on the calling thread: time per problem.
void BM_Batch(benchmark::State &state) {
    BenchBatch batch(kBatchProblems, static_cast<int32_t>(state.range(0)));
    for (auto _ : state) {
        minimizeBatch(batch.results.data(), batch.count, batch.a.data(), 1, &BenchBatch::kB, 0,
                      batch.P.data(), batch.rows, batch.Q.data(), batch.rows, &batch.n, 0, 1);
        benchmark::DoNotOptimize(batch.results.data());
    }
}

// BM_Fast's one problem K times over, every input shared (stride 0), on the
// calling thread: the batch's own cost per problem against BM_Fast's call.
void BM_BatchSameProblem(benchmark::State &state) {
    const Problem problem = randomBenchProblem(static_cast<int32_t>(state.range(0)));
    const int32_t n = problem.n();
    std::vector<double> results(kBatchProblems);
    for (auto _ : state) {
        minimizeBatch(results.data(), kBatchProblems, &problem.a, 0, &problem.b, 0,
                      problem.p.data(), 0, problem.q.data(), 0, &n, 0, 1);
        benchmark::DoNotOptimize(results.data());
    }
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

// A mix: 4,000 problems of 100 terms and, last, one of 10^5 terms (all
// sharing one column of p and q, each with its own a and n), on 1 thread or
// on 2, started whatever the work. Were the large problem left to the thread
// that takes it, the other would idle for most of its time.
void BM_BatchMixed(benchmark::State &state) {
    constexpr int64_t kSmall = 4000;
    constexpr int32_t kLarge = 100000;
    const Problem problem = randomBenchProblem(kLarge);
    std::mt19937_64 rng(5);
    std::vector<double> a(kSmall + 1), results(kSmall + 1);
    std::vector<int32_t> n(kSmall + 1, 100);
    for (double &x : a) x = std::normal_distribution<double>(0, 1)(rng);
    n[kSmall] = kLarge;
    const tarvenloch::BatchInput input{results.data(),   kSmall + 1, a.data(),         1,
                                       &problem.b,       0,          problem.p.data(), 0,
                                       problem.q.data(), 0,          n.data(),         1};
    for (auto _ : state) {
        tarvenloch::solveBatchOnThreads(input, static_cast<int>(state.range(0)));
        benchmark::DoNotOptimize(results.data());
    }
}

BENCHMARK(BM_Fast)->Arg(10);
BENCHMARK(BM_SingleCalls)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Batch)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BatchSameProblem)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BatchThreads)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_BatchMixed)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_BatchStart)
    ->ArgsProduct({{10}, {64, 256, 1024, 4096}, {1, 2}})
    ->ArgsProduct({{100}, {4, 16, 64}, {1, 2}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

void registerAll() {
    const std::vector<int64_t> goalSizes = {1, 10, 100, 1000, 4000};
    for (const BenchFamily &f : kFamilies) {
        const std::string family = f.name;
        const Family which = f.family;
        auto *lit = benchmark::RegisterBenchmark(
            ("literal/" + family).c_str(), [which](benchmark::State &s) { literal(s, which); });
        auto *fast = benchmark::RegisterBenchmark(
            ("solver/" + family).c_str(),
            [which](benchmark::State &s) { solver(s, which, Strategy::Automatic); });
        auto *full = benchmark::RegisterBenchmark(
            ("fullscan/" + family).c_str(),
            [which](benchmark::State &s) { solver(s, which, Strategy::FullScan); });
        auto *least = benchmark::RegisterBenchmark(
            ("floor/" + family).c_str(), [which](benchmark::State &s) { floorOf(s, which); });
        for (int64_t n : goalSizes) {
            lit->Arg(n);
            fast->Arg(n);
            full->Arg(n);
            least->Arg(n);
        }
    }
    // Where pruning starts to pay: both strategies forced, small n.
    auto *pruned = benchmark::RegisterBenchmark("crossover-pruned/normal", [](benchmark::State &s) {
        solver(s, Family::Normal, Strategy::Pruned);
    });
    auto *full = benchmark::RegisterBenchmark("crossover-full/normal", [](benchmark::State &s) {
        solver(s, Family::Normal, Strategy::FullScan);
    });
    for (int64_t n : {16, 24, 32, 40, 48, 56, 64, 96, 128}) {
        pruned->Arg(n);
        full->Arg(n);
    }
    // Growth up to 1e5 terms, for the chart: the literal computation up to
    // 1e4 (1e5 would take about a minute a call), the full scan and the
    // solver up to 1e5. Few iterations: a call takes up to seconds.
    benchmark::RegisterBenchmark("growth-literal/normal",
                                 [](benchmark::State &s) { literal(s, Family::Normal); })
        ->Arg(10000)
        ->Iterations(1);
    for (int64_t n : {10000, 30000, 100000}) {
        benchmark::RegisterBenchmark(
            "growth-fullscan/normal",
            [](benchmark::State &s) { solver(s, Family::Normal, Strategy::FullScan); })
            ->Arg(n)
            ->Iterations(1);
        benchmark::RegisterBenchmark("growth-solver/normal", [](benchmark::State &s) {
            solver(s, Family::Normal, Strategy::Automatic);
        })->Arg(n);
    }
}

// Collects the median of each benchmark while the console shows them all.
class MedianCollector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> medians;  // "solver/normal/100" -> ns

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.aggregate_name == "median") {
                std::string name = run.run_name.str();
                const size_t cut = name.find("/iterations:");
                if (cut != std::string::npos) name.erase(cut);
                medians[name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

double median(const MedianCollector &collector, const std::string &name) {
    const auto found = collector.medians.find(name);
    return found == collector.medians.end() ? NAN : found->second;
}

void printRatios(const MedianCollector &collector, const std::string &title,
                 const std::string &slow, const std::string &fast,
                 const std::vector<int64_t> &sizes) {
    std::printf("\n%s: median time per call, %s / %s\n", title.c_str(), slow.c_str(), fast.c_str());
    for (int64_t n : sizes) {
        const double slowTime = median(collector, slow + "/" + std::to_string(n));
        const double fastTime = median(collector, fast + "/" + std::to_string(n));
        if (std::isnan(slowTime) || std::isnan(fastTime)) continue;
        std::printf("  %-8lld %14.1f ns %14.1f ns   %8.2fx\n", static_cast<long long>(n), slowTime,
                    fastTime, slowTime / fastTime);
    }
}

void printBatch(const MedianCollector &collector) {
    const auto median = [&](const std::string &name) {
        const auto found = collector.medians.find(name);
        return found == collector.medians.end() ? 0.0 : found->second;
    };
    const double single = median("BM_SingleCalls/10"), batch = median("BM_Batch/10");
    const double fast = median("BM_Fast/10"), same = median("BM_BatchSameProblem/10");
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
    const auto speedUp = [&](const char *what, const std::string &name) {
        const double one = median(name + "/1/real_time"), two = median(name + "/2/real_time");
        if (one > 0 && two > 0) {
            std::printf("%s: 1 thread %.0f us, 2 threads %.0f us; speed-up %.2fx\n", what, one, two,
                        one / two);
        }
    };
    speedUp("batch, n = 100, K = 10000", "BM_BatchThreads");
    speedUp("batch of 4,000 problems of n = 100 and one of 1e5", "BM_BatchMixed");
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    registerAll();
    MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    static const char *const levels[] = {"portable", "sse2", "avx2", "avx512"};
    std::printf("\nscan level: %s\n", levels[static_cast<int>(tarvenloch::selectedScanLevel())]);
    const std::vector<int64_t> goalSizes = {1, 10, 100, 1000, 4000};
    for (const BenchFamily &f : kFamilies) {
        const std::string family = f.name;
        printRatios(collector, family + ", literal / solver", "literal/" + family,
                    "solver/" + family, goalSizes);
        printRatios(collector, family + ", full scan / solver", "fullscan/" + family,
                    "solver/" + family, goalSizes);
        printRatios(collector, family + ", solver / floor", "solver/" + family, "floor/" + family,
                    goalSizes);
    }
    printRatios(collector, "crossover", "crossover-full/normal", "crossover-pruned/normal",
                {16, 24, 32, 40, 48, 56, 64, 96, 128});
    printRatios(collector, "growth", "growth-fullscan/normal", "growth-solver/normal",
                {10000, 30000, 100000});
    const double t4 = median(collector, "growth-solver/normal/10000");
    const double t5 = median(collector, "growth-solver/normal/100000");
    std::printf("\nsolver growth from n = 1e4 to 1e5: 10^%.2f\n", std::log10(t5 / t4));
    printRatios(collector, "sort, m values", "BM_SortLiteral", "BM_SortFast", {100, 1000, 10000});
    printBatch(collector);
    benchmark::Shutdown();
    return 0;
}
