// Many problems in one call, shared out among threads. Each thread takes
// problems from common counters and solves them with one scratch block of
// its own; a problem's result depends only on its own inputs, so the
// results are the same whichever thread solves which problem.
//
// Problems large enough to share (kMinSplitTerms terms and up) are taken
// first, one at a time, and the rest in chunks. A thread solving a large
// problem posts the parallel parts of its work (pieces of a loop) on a
// board; a thread that finds no problem left to take helps with the posted
// pieces until every problem is solved. So a few large problems among many
// small ones keep every core busy: the small ones first, then the large
// ones' pieces.
#include "batch.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "internal.h"
#include "tarvenloch.h"
#include "threads.h"

namespace tarvenloch {
namespace {

// Estimated time of one problem of n terms, in nanoseconds, fitted to
// distinct random problems (one with a kink per term) on the 2-core
// machines this project is measured on: about 0.4 us at n = 10 on the full
// scan, which grows as n^2, about 3.5 us at n = 100 and 35 us at n = 1000
// once intervals are pruned; from 10^4 terms on it grows faster, as the
// intervals that survive the pruning grow with n and each costs a pass over
// all terms (about 12 ms at 10^5, 0.6 s at 10^6 and a minute or more at
// 10^7), which 35 n (n + 2 10^4) / (3 10^4) follows closely enough: only
// its order of magnitude matters. (No square root: the modules import
// nothing from the maths library.)
double problemCost(int32_t n) {
    const double terms = n > 0 ? n : 0;
    if (terms < kMinPrunedBreakpoints) return 300.0 + 1.2 * terms * terms;
    return terms <= 1e4 ? 35.0 * terms : 35.0 * terms * (terms + 2e4) / 3e4;
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

// A loop a thread has posted for others to help with. next is read and
// written under the board's lock only. team is the problem's: a piece may
// post a loop of its own (pieces that share out their own passes), and the
// threads waiting on the problem's loops help with it.
struct PostedLoop {
    void (*body)(void *, int64_t);
    void *context;
    int64_t pieces;
    int64_t next;
    const Team *team;
    std::atomic<int64_t> done{0};
};

// The processor's hint that this thread is spinning.
inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Waiting: spin a little (some microseconds), then yield the processor to
// any thread that is ready, for a millisecond or two, then sleep in short
// naps. A large problem's passes follow each other within a millisecond or
// so, and a thread that is slow to join them leaves its share to the
// others; a thread without work must yet not keep the processor from one
// that has some when there are more threads than processors.
void backOff(int &spins) {
    if (spins < 256) {
        relax();
    } else if (spins < 4096) {
        yieldThread();
    } else {
        sleepBriefly();
        return;
    }
    ++spins;
}

// The posted loops that still have pieces to hand out, behind a spin lock:
// each piece is a long stretch of work (a pass over many terms), so the
// lock is taken rarely and held for a few instructions.
class Board {
public:
    void post(PostedLoop *loop) {
        lock();
        loops_[posted_++] = loop;
        unlock();
    }

    // The next piece of `only`, or else of any posted loop of `team`, or
    // else of any posted loop; null when there is none. A loop leaves the
    // board with its last piece, and stays alive until every piece is
    // done, so the loop returned may be used until this piece is marked
    // done.
    PostedLoop *take(int64_t *piece, PostedLoop *only = nullptr, const Team *team = nullptr) {
        lock();
        PostedLoop *found = nullptr;
        for (int i = 0; i < posted_; ++i) {
            PostedLoop *loop = loops_[i];
            if ((only != nullptr && loop != only) || (team != nullptr && loop->team != team))
                continue;
            found = loop;
            *piece = loop->next++;
            if (loop->next == loop->pieces) loops_[i] = loops_[--posted_];
            break;
        }
        unlock();
        return found;
    }

private:
    void lock() {
        int spins = 0;
        while (locked_.exchange(true, std::memory_order_acquire)) backOff(spins);
    }
    void unlock() { locked_.store(false, std::memory_order_release); }

    std::atomic<bool> locked_{false};
    int posted_ = 0;
    // A thread has at most two loops posted at once, one in a piece of the
    // other, and the batch at most kMaxThreads threads.
    PostedLoop *loops_[2 * kMaxThreads] = {};
};

struct Work {
    BatchInput input;
    int64_t chunk;
    SolveOptions options;
    int threads;
    // The problems worth sharing, in index order, taken before the others;
    // null when there are none (or no memory to list them).
    int64_t *large = nullptr;
    int64_t largeCount = 0;
    std::atomic<int64_t> nextLarge{0};
    std::atomic<int64_t> next{0};
    std::atomic<int64_t> solved{0};
    std::atomic<bool> failed{false};
    Board board;
};

// A thread of the batch, as the solver sees it.
struct Member : Team {
    Work *work;
};

void runPiece(PostedLoop *loop, int64_t piece) {
    loop->body(loop->context, piece);
    loop->done.fetch_add(1, std::memory_order_release);
}

// One step of a thread waiting for others: a piece of a posted loop of
// `team` (of any posted loop when team is null) if there is one, else a
// wait that grows longer the longer there is none.
void helpOrWait(Work &work, const Team *team, int &spins) {
    int64_t piece;
    if (PostedLoop *loop = work.board.take(&piece, nullptr, team)) {
        runPiece(loop, piece);
        spins = 0;
    } else {
        backOff(spins);
    }
}

// Team::share for the batch: posts the loop, takes its pieces alongside
// any helpers, and waits for theirs, meanwhile helping with any loop that
// one of them posts for the same problem.
void share(Team *team, int64_t pieces, void (*body)(void *, int64_t), void *context) {
    Work &work = *static_cast<Member *>(team)->work;
    PostedLoop loop{body, context, pieces, 0, team};
    work.board.post(&loop);
    int64_t piece;
    while (work.board.take(&piece, &loop) != nullptr) runPiece(&loop, piece);
    int spins = 0;
    while (loop.done.load(std::memory_order_acquire) < pieces) helpOrWait(work, team, spins);
}

// A thread with no problem left to take: the pieces others post, until
// every problem is solved.
void help(Work &work) {
    int spins = 0;
    while (work.solved.load(std::memory_order_acquire) < work.input.count)
        helpOrWait(work, nullptr, spins);
}

// Whether problem i is one to share, and so taken first.
bool shared(const SolveOptions &options, int32_t n) {
    if (options.split == Split::Never) return false;
    return n >= (options.split == Split::Always ? 1 : kMinSplitTerms);
}

void solveAll(void *context) {
    Work &work = *static_cast<Work *>(context);
    const BatchInput &in = work.input;
    Member member;
    member.share = share;
    member.threads = work.threads;
    member.work = &work;
    Team *team = work.threads > 1 ? &member : nullptr;
    Workspace workspace;
    bool failed = false;
    const auto solve = [&](int64_t i) {
        if (!minimize(work.options, workspace, &in.results[i], in.a[i * in.aStride],
                      in.b[i * in.bStride], in.p + i * in.pStride, in.q + i * in.qStride,
                      in.n[i * in.nStride], team)) {
            failed = true;
        }
    };
    for (;;) {
        const int64_t at = work.nextLarge.fetch_add(1, std::memory_order_relaxed);
        if (at >= work.largeCount) break;
        solve(work.large[at]);
        work.solved.fetch_add(1, std::memory_order_release);
    }
    for (;;) {
        const int64_t first = work.next.fetch_add(work.chunk, std::memory_order_relaxed);
        if (first >= in.count) break;
        const int64_t last = std::min(in.count, first + work.chunk);
        int64_t solved = 0;
        for (int64_t i = first; i < last; ++i) {
            if (work.large != nullptr && shared(work.options, in.n[i * in.nStride])) continue;
            solve(i);
            ++solved;
        }
        work.solved.fetch_add(solved, std::memory_order_release);
    }
    if (team != nullptr && work.largeCount > 0) help(work);
    if (failed) work.failed.store(true, std::memory_order_relaxed);
}

// Threads worth starting for this batch: at most `wanted`, and no more than
// the estimated work keeps busy; no more than there are problems unless one
// of them is large enough to share.
int threadsFor(const BatchInput &in, int wanted) {
    wanted = std::min(wanted, kMaxThreads);
    if (wanted <= 1) return 1;
    const double enough = kWorkPerThread * wanted;
    double work = 0;
    bool large = false;
    if (in.nStride == 0) {
        work = problemCost(in.n[0]) * static_cast<double>(in.count);
        large = in.n[0] >= kMinSplitTerms;
    } else {
        for (int64_t i = 0; i < in.count && work < enough; ++i) {
            work += problemCost(in.n[i * in.nStride]);
            large = large || in.n[i * in.nStride] >= kMinSplitTerms;
        }
    }
    const double problems = large ? wanted : static_cast<double>(in.count);
    const double threads =
        std::min({std::floor(work / kWorkPerThread), static_cast<double>(wanted), problems});
    return threads > 1 ? static_cast<int>(threads) : 1;
}

}  // namespace

bool solveBatchOnThreads(const BatchInput &input, int threads, Split split) {
    if (input.count <= 0) return true;
    Work work;
    work.input = input;
    // Decided here, before any thread starts, so that every thread uses the same.
    work.options = defaultOptions();
    work.options.split = split;
    int64_t largeCount = 0;
    if (threads > 1) {
        for (int64_t i = 0; i < input.count; ++i)
            largeCount += shared(work.options, input.n[i * input.nStride]);
    }
    const int64_t used =
        std::clamp<int64_t>(threads, 1, largeCount > 0 ? kMaxThreads : input.count);
    work.threads = static_cast<int>(used);
    work.chunk = std::clamp<int64_t>(input.count / (used * kChunksPerThread), 1, kMaxChunk);
    if (used > 1 && largeCount > 0) {
        work.large = static_cast<int64_t *>(std::malloc(largeCount * sizeof(int64_t)));
        if (work.large != nullptr) {
            for (int64_t i = 0; i < input.count; ++i) {
                if (shared(work.options, input.n[i * input.nStride]))
                    work.large[work.largeCount++] = i;
            }
        }
    }
    if (used == 1) {
        solveAll(&work);
    } else {
        runOnThreads(static_cast<int>(used), solveAll, &work);
    }
    std::free(work.large);
    return !work.failed.load();
}

}  // namespace tarvenloch

extern "C" bool minimizeBatch(double *results, int64_t count, const double *a, int64_t aStride,
                              const double *b, int64_t bStride, const double *p, int64_t pStride,
                              const double *q, int64_t qStride, const int32_t *n, int64_t nStride,
                              int32_t threads) {
    using namespace tarvenloch;
    if (count < 0) return false;  // a caller's error, not an empty batch
    if (count == 0) return true;
    const BatchInput input{results, count,   a, aStride, b, bStride,
                           p,       pStride, q, qStride, n, nStride};
    const int wanted = threads >= 1 ? threads : hardwareThreads();
    return solveBatchOnThreads(input, threadsFor(input, wanted));
}
