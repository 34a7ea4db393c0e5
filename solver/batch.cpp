// Many problems in one call, shared out among threads. Each thread takes
// chunks of problems from a common counter and solves them with one scratch
// block of its own; a problem's result depends only on its own inputs, so
// the results are the same whichever thread solves which problem.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

#include "internal.h"
#include "tarvenloch.h"
#include "threads.h"

namespace tarvenloch {
namespace {

// Estimated cost of one problem of n terms, in units of about a nanosecond
// on the machines this was measured on: a fixed part per problem, and the
// scan's n * (2n + 1) multiply-adds for n kinks at most.
double problemCost(int32_t n) {
    const double terms = n > 0 ? n : 0;
    return 40.0 + 0.5 * terms * terms;
}

// Work below this, in the units of problemCost, is not worth another
// thread: starting and joining one costs tens of microseconds, and the
// threads share out the batch unevenly at the end. Measured with
// tarvenloch_bench's BM_BatchThreads (see docs/performance.md).
constexpr double kWorkPerThread = 200000.0;

// Problems taken from the counter at a time: few enough trips to the shared
// counter, many enough chunks that the threads end close together.
constexpr int64_t kMaxChunk = 256;
constexpr int64_t kChunksPerThread = 16;

struct Batch {
    double *results;
    const double *a, *b, *p, *q;
    const int32_t *n;
    int64_t aStride, bStride, pStride, qStride, nStride;
    int64_t count, chunk;
    SolveOptions options;
    std::atomic<int64_t> next{0};
    std::atomic<bool> failed{false};
};

void solveChunks(void *context) {
    Batch &batch = *static_cast<Batch *>(context);
    Workspace workspace;
    bool failed = false;
    for (;;) {
        const int64_t first = batch.next.fetch_add(batch.chunk, std::memory_order_relaxed);
        if (first >= batch.count) break;
        const int64_t last = std::min(batch.count, first + batch.chunk);
        for (int64_t i = first; i < last; ++i) {
            if (!minimize(batch.options, workspace, &batch.results[i], batch.a[i * batch.aStride],
                          batch.b[i * batch.bStride], batch.p + i * batch.pStride,
                          batch.q + i * batch.qStride, batch.n[i * batch.nStride])) {
                failed = true;
            }
        }
    }
    if (failed) batch.failed.store(true, std::memory_order_relaxed);
}

// Threads worth starting for this batch: at most `wanted`, and no more than
// the estimated work keeps busy.
int threadsFor(const Batch &batch, int wanted) {
    if (wanted <= 1 || batch.count <= 1) return 1;
    const double enough = kWorkPerThread * wanted;
    double work = 0;
    if (batch.nStride == 0) {
        work = problemCost(batch.n[0]) * static_cast<double>(batch.count);
    } else {
        for (int64_t i = 0; i < batch.count && work < enough; ++i)
            work += problemCost(batch.n[i * batch.nStride]);
    }
    const double useful = std::floor(work / kWorkPerThread);
    const double threads =
        std::min({useful, static_cast<double>(wanted), static_cast<double>(batch.count)});
    return threads > 1 ? static_cast<int>(threads) : 1;
}

}  // namespace
}  // namespace tarvenloch

extern "C" bool minimizeBatch(double *results, int64_t count, const double *a, int64_t aStride,
                              const double *b, int64_t bStride, const double *p, int64_t pStride,
                              const double *q, int64_t qStride, const int32_t *n, int64_t nStride,
                              int32_t threads) {
    using namespace tarvenloch;
    if (count <= 0) return true;
    Batch batch;
    batch.results = results;
    batch.a = a;
    batch.b = b;
    batch.p = p;
    batch.q = q;
    batch.n = n;
    batch.aStride = aStride;
    batch.bStride = bStride;
    batch.pStride = pStride;
    batch.qStride = qStride;
    batch.nStride = nStride;
    batch.count = count;
    // Decided here, before any thread starts, so that every thread uses the same.
    batch.options = defaultOptions();

    const int wanted = threads >= 1 ? threads : hardwareThreads();
    const int used = threadsFor(batch, wanted);
    batch.chunk =
        std::clamp<int64_t>(count / (static_cast<int64_t>(used) * kChunksPerThread), 1, kMaxChunk);
    if (used == 1) {
        solveChunks(&batch);
    } else {
        runOnThreads(used, solveChunks, &batch);
    }
    return !batch.failed.load();
}
