// Many problems in one call, shared out among threads. Each thread takes
// chunks of problems from a common counter and solves them with one scratch
// block of its own; a problem's result depends only on its own inputs, so
// the results are the same whichever thread solves which problem.
#include "batch.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include "internal.h"
#include "tarvenloch.h"
#include "threads.h"

namespace tarvenloch {
namespace {

// Estimated time of one problem of n terms, in nanoseconds, fitted to
// distinct random problems (one with a kink per term) on the 2-core
// machines this project is measured on: about 0.4 us at n = 10 on the full
// scan, which grows as n^2, and about 3.5 us at n = 100 and 35 us at
// n = 1000 once intervals are pruned. Only its order of magnitude matters.
double problemCost(int32_t n) {
    const double terms = n > 0 ? n : 0;
    return terms < kMinPrunedBreakpoints ? 300.0 + 1.2 * terms * terms : 35.0 * terms;
}

// Each thread gets at least this much estimated work, in nanoseconds, so a
// second thread starts from 0.5 ms of work on. Starting and joining a thread
// costs some 60 us there, and two threads overtook one between 0.3 and
// 0.6 ms of work (BM_BatchStart in tarvenloch_bench, docs/performance.md).
constexpr double kWorkPerThread = 250000.0;

// At most this many threads, whatever is asked: more only cost their start.
constexpr int kMaxThreads = 256;

// Problems taken from the counter at a time: few enough trips to the shared
// counter, many enough chunks that the threads end close together.
constexpr int64_t kMaxChunk = 256;
constexpr int64_t kChunksPerThread = 16;

struct Work {
    BatchInput input;
    int64_t chunk;
    SolveOptions options;
    std::atomic<int64_t> next{0};
    std::atomic<bool> failed{false};
};

void solveChunks(void *context) {
    Work &work = *static_cast<Work *>(context);
    const BatchInput &in = work.input;
    Workspace workspace;
    bool failed = false;
    for (;;) {
        const int64_t first = work.next.fetch_add(work.chunk, std::memory_order_relaxed);
        if (first >= in.count) break;
        const int64_t last = std::min(in.count, first + work.chunk);
        for (int64_t i = first; i < last; ++i) {
            if (!minimize(work.options, workspace, &in.results[i], in.a[i * in.aStride],
                          in.b[i * in.bStride], in.p + i * in.pStride, in.q + i * in.qStride,
                          in.n[i * in.nStride])) {
                failed = true;
            }
        }
    }
    if (failed) work.failed.store(true, std::memory_order_relaxed);
}

// Threads worth starting for this batch: at most `wanted`, and no more than
// the estimated work keeps busy.
int threadsFor(const BatchInput &in, int wanted) {
    wanted = std::min(wanted, kMaxThreads);
    if (wanted <= 1 || in.count <= 1) return 1;
    const double enough = kWorkPerThread * wanted;
    double work = 0;
    if (in.nStride == 0) {
        work = problemCost(in.n[0]) * static_cast<double>(in.count);
    } else {
        for (int64_t i = 0; i < in.count && work < enough; ++i)
            work += problemCost(in.n[i * in.nStride]);
    }
    const double threads = std::min({std::floor(work / kWorkPerThread), static_cast<double>(wanted),
                                     static_cast<double>(in.count)});
    return threads > 1 ? static_cast<int>(threads) : 1;
}

}  // namespace

bool solveBatchOnThreads(const BatchInput &input, int threads) {
    if (input.count <= 0) return true;
    Work work;
    work.input = input;
    const int64_t used = std::clamp<int64_t>(threads, 1, input.count);
    work.chunk = std::clamp<int64_t>(input.count / (used * kChunksPerThread), 1, kMaxChunk);
    // Decided here, before any thread starts, so that every thread uses the same.
    work.options = defaultOptions();
    if (used == 1) {
        solveChunks(&work);
    } else {
        runOnThreads(static_cast<int>(used), solveChunks, &work);
    }
    return !work.failed.load();
}

}  // namespace tarvenloch

extern "C" bool minimizeBatch(double *results, int64_t count, const double *a, int64_t aStride,
                              const double *b, int64_t bStride, const double *p, int64_t pStride,
                              const double *q, int64_t qStride, const int32_t *n, int64_t nStride,
                              int32_t threads) {
    using namespace tarvenloch;
    if (count <= 0) return true;
    const BatchInput input{results, count,   a, aStride, b, bStride,
                           p,       pStride, q, qStride, n, nStride};
    const int wanted = threads >= 1 ? threads : hardwareThreads();
    return solveBatchOnThreads(input, threadsFor(input, wanted));
}
