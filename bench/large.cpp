// One large problem, as a user with one huge problem solves it: a batch of
// one on 1 or more threads, timed, with the process's peak resident size.
// Peak memory is a property of a whole process, so each measurement is a
// process of its own (bench/large.sh runs them all):
//
//   tarvenloch_large_bench N THREADS CALLS   N terms, normal p and q, b = 1:
//       prints "n threads seconds peak_bytes", seconds the median of CALLS
//       calls, each with scratch of its own as a single call has
//   tarvenloch_large_bench N survivors
//       prints "n kept refined": the intervals that survive the pruning,
//       and those left after its second round
//   tarvenloch_large_bench crosscore
//       prints the nanoseconds a cache line takes from processor 0 to
//       processor 1 and back (the median of 5 runs), or nothing where the
//       process has fewer than two: what a pass shared between two threads
//       pays for the data one writes and the other reads
//   tarvenloch_large_bench N census [SECONDS]
//       the same problem with one bad or extreme value each (NaN, an
//       infinity, a huge number, kinks past the sentinels), and clean:
//       single calls of minimizeOverBreakpoints taken in turns, so that
//       every case sees the same load; prints a Markdown table of the path
//       each takes, its median time and its ratio to the clean call. Each
//       case gets calls until it has 11 or has taken SECONDS (default 20)
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "families.h"
#include "grid.h"
#include "internal.h"
#include "tarvenloch.h"

namespace {

Problem largeProblem(int32_t n) {
    std::mt19937_64 rng(1000 + n);  // as the benchmarks' normal family draws it
    return familyProblem(Family::Normal, n, rng);
}

// The pruned path's two rounds, step by step, for their counts.
void survivors(const Problem &problem) {
    const int32_t n = problem.n();
    const double *p = problem.p.data(), *q = problem.q.data();
    tarvenloch::Magnitudes magnitudes;
    if (!tarvenloch::pruningApplies(problem.a, problem.b, p, q, n, &magnitudes)) {
        std::printf("%d - -\n", n);
        return;
    }
    const int32_t m = tarvenloch::countBreakpoints(p, n);
    std::vector<tarvenloch::KeyedBreakpoint> keyed(m + 1), spare(m);
    tarvenloch::collectKeyedBreakpoints(p, q, n, keyed.data());
    tarvenloch::sortKeyedBreakpoints(keyed.data(), m, spare.data());
    const int64_t count = 2 * static_cast<int64_t>(m) + 1;
    std::vector<double> scratch(tarvenloch::pruningScratchBytes(n, count) / 8 + 1);
    std::vector<double> kept(n + 9), slopes(n + 9);
    const int64_t survivors =
        tarvenloch::pruneIntervals(problem.a, problem.b, p, q, n, magnitudes, keyed.data(), m,
                                   nullptr, count, scratch.data(), kept.data());
    const tarvenloch::ScanKernels kernels = tarvenloch::kernelsFor(tarvenloch::selectedScanLevel());
    kernels.slopes(kept.data(), survivors, p, q, n, slopes.data());
    int64_t unique = 0;
    for (int64_t j = 0; j < survivors; ++j) {
        const double u = slopes[j] * problem.b + problem.a;
        if (unique == 0 || u != slopes[unique - 1]) slopes[unique++] = u;
    }
    const int64_t refined = tarvenloch::refineCandidates(problem.a, problem.b, n, magnitudes,
                                                         scratch.data(), slopes.data(), unique);
    std::printf("%d %lld %lld\n", n, static_cast<long long>(survivors),
                static_cast<long long>(refined));
}

// ---- The census of the inputs that leave the pruned path ----

struct CensusCase {
    const char *name;
    std::function<void(Problem &)> change;  // applied to the clean problem
};

std::vector<CensusCase> censusCases(int32_t n) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const int32_t k = n / 3, l = 2 * n / 3;  // where the bad values go
    return {
        {"clean", [](Problem &) {}},
        {"NaN in one q", [=](Problem &x) { x.q[k] = nan; }},
        {"+Inf in one q", [=](Problem &x) { x.q[k] = inf; }},
        {"-Inf in one q", [=](Problem &x) { x.q[k] = -inf; }},
        {"+Inf in one q, b = -1", [=](Problem &x) { x.q[k] = inf, x.b = -1; }},
        {"+Inf in one q, b = 0", [=](Problem &x) { x.q[k] = inf, x.b = 0; }},
        {"NaN in one p", [=](Problem &x) { x.p[k] = nan; }},
        {"+Inf in one p", [=](Problem &x) { x.p[k] = inf; }},
        {"a = NaN", [=](Problem &x) { x.a = nan; }},
        {"a = +Inf", [=](Problem &x) { x.a = inf; }},
        {"b = NaN", [=](Problem &x) { x.b = nan; }},
        {"b = +Inf", [=](Problem &x) { x.b = inf; }},
        {"b = -Inf", [=](Problem &x) { x.b = -inf; }},
        {"1e300 in one q", [=](Problem &x) { x.q[k] = 1e300; }},
        {"-1e250 in one q", [=](Problem &x) { x.q[k] = -1e250; }},
        {"1e300 in one p", [=](Problem &x) { x.p[k] = 1e300; }},
        {"a = 1e300", [=](Problem &x) { x.a = 1e300; }},
        {"b = 1e300", [=](Problem &x) { x.b = 1e300; }},
        {"b = 1e140", [=](Problem &x) { x.b = 1e140; }},
        {"b = 1e148", [=](Problem &x) { x.b = 1e148; }},
        {"b = 3e148", [=](Problem &x) { x.b = 3e148; }},
        {"b = 1e149", [=](Problem &x) { x.b = 1e149; }},
        {"1e300 in one q, b = 0", [=](Problem &x) { x.q[k] = 1e300, x.b = 0; }},
        {"+Inf in one q, two slopes of 1e160 cancelling between -1 and 1",
         [=](Problem &x) {
             x.q[k] = inf, x.p[k + 1] = 1e160, x.q[k + 1] = -1e160, x.p[k + 2] = 1e160,
             x.q[k + 2] = 1e160;
         }},
        {"two kinks past the sentinels (q = 3e10, -5e10; p = 1)",
         [=](Problem &x) { x.p[k] = 1, x.q[k] = 3e10, x.p[l] = 1, x.q[l] = -5e10; }},
    };
}

// The path minimize() takes, by the same tests in the same order.
std::string censusPath(const Problem &problem) {
    const int32_t n = problem.n();
    const double *p = problem.p.data(), *q = problem.q.data();
    const int32_t m = tarvenloch::countBreakpoints(p, n);
    if (m == 0) return "no kink";
    tarvenloch::Magnitudes magnitudes;
    const bool applies = tarvenloch::pruningApplies(problem.a, problem.b, p, q, n, &magnitudes);
    if (!applies || magnitudes.unusual) {
        double settled;
        tarvenloch::Workspace workspace;
        if (tarvenloch::settledResult(tarvenloch::selectedScanLevel(), workspace, problem.a,
                                      problem.b, p, q, n, &settled))
            return "settled";
        if (!applies) return "full scan";
    }
    std::vector<tarvenloch::KeyedBreakpoint> keyed(m + 1), spare(m);
    tarvenloch::collectKeyedBreakpoints(p, q, n, keyed.data());
    tarvenloch::sortKeyedBreakpoints(keyed.data(), m, spare.data());
    int64_t count = 2 * static_cast<int64_t>(m) + 1;
    std::vector<double> mid(count);
    const double *list = nullptr;  // the midpoints the pruning takes, when not from the grid
    std::string ends;
    if (!(keyed[m - 1].r <= tarvenloch::kSentinel)) {
        tarvenloch::buildMidpointsOf([&](int64_t i) { return keyed[i].r; }, m, mid.data());
        if (!tarvenloch::ascending(mid.data(), count)) {
            if (count < 3 || !tarvenloch::ascending(mid.data() + 1, count - 2)) return "full scan";
            list = mid.data() + 1, count -= 2, ends = " and the 2 end intervals";
        }
    }
    std::vector<double> scratch(tarvenloch::pruningScratchBytes(n, count) / 8 + 1);
    std::vector<double> kept(n + 9);
    const int64_t survivors =
        tarvenloch::pruneIntervals(problem.a, problem.b, p, q, n, magnitudes, keyed.data(), m, list,
                                   count, scratch.data(), kept.data());
    return "pruned, " + std::to_string(survivors) + " kept" + ends;
}

void census(int32_t n, double budget) {
    const Problem clean = largeProblem(n);
    const std::vector<CensusCase> cases = censusCases(n);
    std::vector<Problem> problems;
    for (const CensusCase &c : cases) {
        problems.push_back(clean);
        c.change(problems.back());
    }
    constexpr size_t kCalls = 11;
    std::vector<std::vector<double>> seconds(cases.size());
    std::vector<double> spent(cases.size(), 0.0);
    // settledResult alone on the clean problem, in the same rounds: what
    // every call from 52 breakpoints on pays for the shortcuts.
    std::vector<double> asked;
    tarvenloch::Workspace workspace;
    for (bool more = true; more;) {
        more = false;
        if (asked.size() < kCalls) {
            double u = 0;
            const auto start = std::chrono::steady_clock::now();
            for (int repeat = 0; repeat < 100; ++repeat) {
                tarvenloch::settledResult(tarvenloch::selectedScanLevel(), workspace, clean.a,
                                          clean.b, clean.p.data(), clean.q.data(), n, &u);
            }
            asked.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                100);
        }
        for (size_t i = 0; i < cases.size(); ++i) {
            if (seconds[i].size() >= kCalls || (!seconds[i].empty() && spent[i] >= budget)) {
                continue;
            }
            more = true;
            const Problem &x = problems[i];
            double u = 0;
            const auto start = std::chrono::steady_clock::now();
            minimizeOverBreakpoints(&u, x.a, x.b, x.p.data(), x.q.data(), x.n());
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            seconds[i].push_back(took);
            spent[i] += took;
        }
    }
    std::vector<double> medians;
    for (auto &s : seconds) {
        std::sort(s.begin(), s.end());
        medians.push_back(s[s.size() / 2]);
    }
    std::printf("| n = %d: the change | path | calls | time per call | x a clean call |\n", n);
    std::printf("|---|---|---:|---:|---:|\n");
    for (size_t i = 0; i < cases.size(); ++i) {
        const double t = medians[i];
        char time[32];
        if (t < 1) {
            std::snprintf(time, sizeof time, "%.2f ms", t * 1e3);
        } else {
            std::snprintf(time, sizeof time, "%.2f s", t);
        }
        std::printf("| %s | %s | %zu | %s | %.2fx |\n", cases[i].name,
                    censusPath(problems[i]).c_str(), seconds[i].size(), time, t / medians[0]);
    }
    std::sort(asked.begin(), asked.end());
    const double hook = asked[asked.size() / 2];
    std::printf("\nsettledResult alone on the clean problem: %.2f us, %.2f %% of a clean call\n",
                hook * 1e6, 100 * hook / medians[0]);
}

bool pinTo(int processor) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(processor, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// Two threads on processors 0 and 1 hand a counter back and forth.
void crossCore() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || !CPU_ISSET(0, &allowed) ||
        !CPU_ISSET(1, &allowed)) {
        return;
    }
    constexpr int kRounds = 100000;
    std::vector<double> runs;
    for (int run = 0; run < 5; ++run) {
        alignas(64) std::atomic<int> counter{0};
        std::thread other([&] {
            pinTo(1);
            for (int i = 0; i < kRounds; ++i) {
                while (counter.load(std::memory_order_acquire) != 2 * i + 1) {
                }
                counter.store(2 * i + 2, std::memory_order_release);
            }
        });
        pinTo(0);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kRounds; ++i) {
            counter.store(2 * i + 1, std::memory_order_release);
            while (counter.load(std::memory_order_acquire) != 2 * i + 2) {
            }
        }
        runs.push_back(
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                .count() /
            kRounds);
        other.join();
    }
    std::sort(runs.begin(), runs.end());
    std::printf("%.0f\n", runs[runs.size() / 2]);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "crosscore") == 0) {
        crossCore();
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s N THREADS [CALLS] | %s N survivors | %s N census [SECONDS] | %s "
                     "crosscore\n",
                     argv[0], argv[0], argv[0], argv[0]);
        return 2;
    }
    const int32_t n = std::atoi(argv[1]);
    if (std::strcmp(argv[2], "census") == 0) {
        census(n, argc > 3 ? std::atof(argv[3]) : 20.0);
        return 0;
    }
    const Problem problem = largeProblem(n);
    if (std::strcmp(argv[2], "survivors") == 0) {
        survivors(problem);
        return 0;
    }
    const int32_t threads = std::atoi(argv[2]);
    const int calls = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    std::vector<double> seconds;
    double u = 0;
    for (int call = 0; call < calls; ++call) {
        const auto start = std::chrono::steady_clock::now();
        if (!minimizeBatch(&u, 1, &problem.a, 0, &problem.b, 0, problem.p.data(), 0,
                           problem.q.data(), 0, &n, 0, threads)) {
            std::fprintf(stderr, "out of memory\n");
            return 1;
        }
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%d %d %.6f %lld\n", n, threads, seconds[seconds.size() / 2],
                static_cast<long long>(usage.ru_maxrss) * 1024);
    return 0;
}
