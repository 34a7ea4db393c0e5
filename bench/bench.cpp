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

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    static const char *const levels[] = {"portable", "sse2", "avx2", "avx512"};
    std::printf("\nscan level: %s\n", levels[static_cast<int>(tarvenloch::selectedScanLevel())]);
    printRatios(collector, "minimiser, n terms", "BM_Literal", "BM_Fast");
    printRatios(collector, "sort, m values", "BM_SortLiteral", "BM_SortFast");
    benchmark::Shutdown();
    return 0;
}
