// The minimiser: orchestrates the stages and owns the scratch memory.
//
//   breakpoints and grid -> sort -> (pruning | dropping repeated intervals)
//   -> exact scan
//
// Every path computes each candidate and score it looks at exactly as the
// literal computation does, and each skips only intervals that provably
// cannot hold the first least score, so every path returns the same bits.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "grid.h"
#include "internal.h"
#include "tarvenloch.h"

namespace tarvenloch {
namespace {

// Room the vector scans may pad a list of midpoints or candidates into.
constexpr int64_t kPadding = 8;
// Scans shorter than this run on the scalar path.
constexpr int64_t kMinVectorIntervals = 8;

uint64_t doublesToBytes(uint64_t doubles) { return doubles * sizeof(double); }

// The full scan's scratch: m breakpoints, then the 2m + 1 midpoints padded.
uint64_t fullScanBytes(int32_t m) {
    return doublesToBytes(3 * static_cast<uint64_t>(m) + 1 + kPadding);
}

// The pruned path's scratch: the keyed breakpoints, the pruning's own
// (whose room the sort uses first, for its spare copy of the breakpoints),
// and three padded lists of up to n + 3 intervals (kept midpoints, slopes,
// scores): the n + 1 the pruning keeps at most, and the grid's two end
// intervals where kinks lie past both sentinels. Before the scan the first
// may hold a fallback scan's marks and the other two the grid's midpoints.
// docs/performance.md lists the bytes a term.
uint64_t prunedBytes(int32_t n, int32_t m) {
    const uint64_t count = 2 * static_cast<uint64_t>(m) + 1;
    const uint64_t list = static_cast<uint64_t>(n) + 3 + kPadding;
    return (static_cast<uint64_t>(m) + 1) * sizeof(KeyedBreakpoint) +
           pruningScratchBytes(n, static_cast<int64_t>(count)) + 3 * doublesToBytes(list);
}

// Where the pruning's scratch leaves room for others before it starts.
constexpr size_t kPruningStateBytes = 64;

Strategy strategyFromEnvironment() {
    const char *name = std::getenv("TARVENLOCH_STRATEGY");
    if (name == nullptr) return Strategy::Automatic;
    if (std::strcmp(name, "full") == 0) return Strategy::FullScan;
    if (std::strcmp(name, "pruned") == 0) return Strategy::Pruned;
    if (std::strcmp(name, "carried") == 0) return Strategy::PrunedCarried;
    return Strategy::Automatic;
}

// The full scan over mid[0..count-1] (room for count + kPadding), after
// dropping repeated intervals where that applies. marks needs count bytes.
double fullScan(const SolveOptions &options, double *mid, int64_t count, double a, double b,
                const double *p, const double *q, int32_t n, unsigned char *marks) {
    const int64_t intervals =
        count < kMinIntervalsToDrop ? count : dropRepeatedIntervals(mid, count, p, q, n, marks);
    // A vector scan pays for itself only from a few vectors on.
    const ScanFunction scan =
        intervals < kMinVectorIntervals ? scanPortable : kernelsFor(options.level).scan;
    return scan(mid, intervals, a, b, p, q, n);
}

// Asks the kernel to back [from, from + bytes) with huge pages (2 MB on
// x86-64) where it can, from 4 MB on. A large problem's scratch is mapped
// afresh for every call, and each 4 KB page's first touch costs some 10 to
// 40 us on the virtual machines measured: at 10^6 terms a third of a call.
// Only the arrays that are written through are advised; the lists of
// survivors, mostly never touched, keep small pages, so that they stay out
// of the resident size.
void adviseHugePages(void *from, uint64_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t{1} << 21;
    if (bytes < 2 * kHuge) return;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(from) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(from) + bytes) & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
    (void)from;
    (void)bytes;
#endif
}

// The pruned path's scratch (prunedBytes), laid out: the keyed
// breakpoints, the pruning's scratch, and the three lists.
struct PrunedLayout {
    KeyedBreakpoint *keyed = nullptr;
    void *pruningScratch = nullptr;
    // Free until the pruning starts: room for the sort's spare copy of the
    // breakpoints (16m bytes).
    void *pruningRoom = nullptr;
    double *kept = nullptr, *slopes = nullptr, *scores = nullptr;
    size_t list = 0;  // the room of each list, in doubles

    PrunedLayout() = default;
    PrunedLayout(void *scratch, int32_t n, int32_t m, int64_t count)
        : keyed(static_cast<KeyedBreakpoint *>(scratch)),
          pruningScratch(keyed + m + 1),
          pruningRoom(static_cast<char *>(pruningScratch) + kPruningStateBytes),
          list(static_cast<size_t>(n) + 3 + kPadding) {
        kept = reinterpret_cast<double *>(static_cast<char *>(pruningScratch) +
                                          pruningScratchBytes(n, count));
        slopes = kept + list;
        scores = slopes + list;
        adviseHugePages(scratch, static_cast<uint64_t>(reinterpret_cast<char *>(kept) -
                                                       static_cast<char *>(scratch)));
    }
};

bool outOfMemory(double *result) {
    *result = std::numeric_limits<double>::quiet_NaN();
    return false;
}

}  // namespace

Workspace::~Workspace() {
    if (heap_ != nullptr) std::free(heap_);  // small problems never call the allocator
}

void *Workspace::reserve(uint64_t bytes) {
    if (bytes <= bufferBytes_) return buffer_;
    if (bytes <= heapBytes_) return heap_;
    // The old contents are not needed: free first, so peak use stays one block.
    std::free(heap_);
    heap_ = nullptr;
    heapBytes_ = 0;
    if (bytes > std::numeric_limits<size_t>::max()) return nullptr;
    heap_ = std::malloc(static_cast<size_t>(bytes));
    if (heap_ != nullptr) heapBytes_ = bytes;
    return heap_;
}

int32_t minPrunedBreakpoints(ScanLevel level) {
    static constexpr int32_t kFrom[] = {14, 24, kMinPrunedBreakpoints, kMinPrunedBreakpoints};
    return kFrom[static_cast<int>(level)];
}

namespace {

// Whether the pruned path, and every shortcut of it, is forced.
bool forcesPruning(const SolveOptions &options) {
    return options.strategy == Strategy::Pruned || options.strategy == Strategy::PrunedCarried;
}

// Whether a problem with this many breakpoints (or at most this many)
// tries the pruned path: forced, or from the level's size on.
bool triesPruning(const SolveOptions &options, int32_t breakpoints) {
    return forcesPruning(options) || (options.strategy == Strategy::Automatic &&
                                      breakpoints >= minPrunedBreakpoints(options.level));
}

}  // namespace

SolveOptions defaultOptions() {
    // The scan level and the strategy, decided on the first call and kept
    // together, so that each later call reads one value.
    static std::atomic<int> decided{-1};
    const int value = decidedOnce(decided, [] {
        return static_cast<int>(selectedScanLevel()) | static_cast<int>(strategyFromEnvironment())
                                                           << 4;
    });
    return {static_cast<ScanLevel>(value & 15), static_cast<Strategy>(value >> 4)};
}

namespace {

// The full scan: the breakpoints collected, sorted as the literal
// computation sorts them, the midpoints, and a scan of every interval
// (less those that repeat their left neighbour).
bool fullSolve(const SolveOptions &options, Workspace &workspace, double *result, double a,
               double b, const double *p, const double *q, int32_t n, int32_t m) {
    double *scratch = static_cast<double *>(workspace.reserve(fullScanBytes(m)));
    if (scratch == nullptr) return outOfMemory(result);
    double *breakpoints = scratch;
    double *mid = scratch + m;
    collectBreakpoints(p, q, n, breakpoints);
    sortBreakpoints(breakpoints, m);
    buildMidpoints(breakpoints, m, mid);
    // The breakpoints are in the grid now; their room holds the marks.
    *result = fullScan(options, mid, 2 * static_cast<int64_t>(m) + 1, a, b, p, q, n,
                       reinterpret_cast<unsigned char *>(breakpoints));
    return true;
}

// The pruned path's scratch, with its breakpoints collected and sorted;
// layout.keyed stays null when the workspace cannot provide it.
void collectAndSort(Workspace &workspace, const double *p, const double *q, int32_t n, int32_t m,
                    PrunedLayout &layout, Team *team) {
    void *scratch = workspace.reserve(prunedBytes(n, m));
    if (scratch == nullptr) return;
    layout = PrunedLayout(scratch, n, m, 2 * static_cast<int64_t>(m) + 1);
    collectKeyedBreakpoints(team, p, q, n, layout.keyed);
    // The list of slopes is free until the scan: room for the sort's tables.
    sortKeyedBreakpoints(layout.keyed, m, static_cast<KeyedBreakpoint *>(layout.pruningRoom), team,
                         layout.slopes, doublesToBytes(layout.list));
}

// Whether the pruning's bound applies, with the breakpoints collected and
// sorted where it does. With a team, one thread takes the bound's sums
// while the others collect and sort the breakpoints (the first piece
// shares out its passes, and the thread done with the sums joins them).
// Each reads only the input and writes memory of its own, so each gives
// what it gives alone. Only where the bound does not apply (inputs not
// finite, or too large), whose full scan costs far more, is the sort done
// for nothing.
bool pruningStage(Workspace &workspace, double a, double b, const double *p, const double *q,
                  int32_t n, int32_t m, Carry carry, Magnitudes &magnitudes, PrunedLayout &layout,
                  Team *team) {
    if (team == nullptr) {
        const bool applies = pruningApplies(a, b, p, q, n, &magnitudes, carry);
        // Where some input may be huge, the shortcuts are asked first, and
        // the caller collects and sorts only where they fix nothing.
        if (applies && !magnitudes.unusual) collectAndSort(workspace, p, q, n, m, layout, nullptr);
        return applies;
    }
    bool applies = false;
    forEachPiece(team, 2, [&](int64_t piece) {
        if (piece == 0) {
            collectAndSort(workspace, p, q, n, m, layout, team);
        } else {
            applies = pruningApplies(a, b, p, q, n, &magnitudes, carry);
        }
    });
    return applies;
}

// The pruning where only the grid's first and last midpoints are out of
// order (kinks past both sentinels): the other 2m - 1 intervals, whose
// midpoints ascend, are pruned as a grid of their own (the argument asks
// nothing else of the midpoints), and the two end intervals are kept
// whatever they score. The first interval of least score is an end
// interval or the first of least score among the others, which the
// pruning keeps; the kept list stays in interval order. Returns how many
// are kept.
int64_t pruneInterior(const PrunedLayout &layout, const Magnitudes &magnitudes, double a, double b,
                      const double *p, const double *q, int32_t n, int32_t m, const double *mid,
                      Team *team) {
    const int64_t count = 2 * static_cast<int64_t>(m) + 1;
    const double first = mid[0], last = mid[count - 1];
    int64_t kept =
        pruneIntervals(a, b, p, q, n, magnitudes, layout.keyed, m, mid + 1, count - 2,
                       layout.pruningScratch, layout.kept + 1, nullptr, nullptr, nullptr, team);
    layout.kept[0] = first;
    layout.kept[++kept] = last;
    return kept + 1;
}

// The pruned path, once the bound applies and the breakpoints are sorted:
// the intervals that could hold the result, then a second round with
// their exact candidates, then the exact scan of what is left.
double prunedSolve(const SolveOptions &options, const PrunedLayout &layout,
                   const Magnitudes &magnitudes, double a, double b, const double *p,
                   const double *q, int32_t n, int32_t m, Team *team) {
    const int64_t count = 2 * static_cast<int64_t>(m) + 1;
    int64_t survivors = -1;  // not pruned yet
    // Breakpoints (all >= 0, sorted) up to the sentinel make an ascending
    // grid, whose midpoints ascend too, as rounding is monotone: only a
    // larger last breakpoint calls for the check.
    if (!(layout.keyed[m - 1].r <= kSentinel)) {
        // The lists of slopes and scores, free until the scan, hold the
        // 2m + 1 midpoints and their padding.
        double *mid = layout.slopes;
        const KeyedBreakpoint *keyed = layout.keyed;
        buildMidpointsOf([keyed](int64_t i) { return keyed[i].r; }, m, mid);
        if (!ascending(mid, count)) {
            // Past the sentinels (two kinks or more), only the first and
            // the last midpoints can fall out of order; where the others
            // ascend, they are pruned, and the two end intervals join the
            // kept ones. Otherwise the grid is scanned as built, the list
            // of kept midpoints holding the 2m + 1 marks.
            if (count < 3 || !ascending(mid + 1, count - 2))
                return fullScan(options, mid, count, a, b, p, q, n,
                                reinterpret_cast<unsigned char *>(layout.kept));
            survivors = pruneInterior(layout, magnitudes, a, b, p, q, n, m, mid, team);
        }
    }
    if (survivors < 0) {
        survivors =
            pruneIntervals(a, b, p, q, n, magnitudes, layout.keyed, m, nullptr, count,
                           layout.pruningScratch, layout.kept, nullptr, nullptr, nullptr, team);
    }
    // Once the kept intervals' slopes are exact, their candidates are too,
    // and a second round with a much tighter bound drops most of them
    // before their sums are taken.
    struct Refine {
        double a, b;
        int32_t n;
        const Magnitudes *magnitudes;
        void *scratch;
    } refine{a, b, n, &magnitudes, layout.pruningScratch};
    const CandidateFilter filter = {
        [](const void *context, double *u, int64_t candidates, bool *settled) {
            const auto &r = *static_cast<const Refine *>(context);
            return refineCandidates(r.a, r.b, r.n, *r.magnitudes, r.scratch, u, candidates, nullptr,
                                    settled);
        },
        &refine};
    // The list of scores, free until the values are taken, holds the
    // terms' known signs (a byte a term, in room for n + 3 doubles and
    // more: only an eighth of its pages is touched).
    const bool takesSigns = survivors >= kMinSignedIntervals || forcesPruning(options);
    return scanDeduplicated(
        kernelsFor(options.level), layout.kept, survivors, a, b, p, q, n, layout.slopes,
        layout.scores, &filter, team,
        takesSigns ? reinterpret_cast<unsigned char *>(layout.scores) : nullptr);
}

}  // namespace

// The choice of path: no breakpoint, the full scan, or the pruned path
// where it is allowed and its bound applies (falling back to the full
// scan where it does not).
bool minimize(const SolveOptions &options, Workspace &workspace, double *result, double a, double b,
              const double *p, const double *q, int32_t n, Team *team) {
    if (options.split == Split::Never ||
        (options.split == Split::Automatic && n < kMinSplitTerms)) {
        team = nullptr;
    }
    const int32_t m = countBreakpoints(p, n);
    if (m == 0) {
        *result = a;
        return true;
    }
    const bool tryPruning = triesPruning(options, m);
    const Carry carry =
        options.strategy == Strategy::PrunedCarried ? Carry::Always : Carry::Automatic;
    Magnitudes magnitudes;
    PrunedLayout layout;
    if (!tryPruning ||
        !pruningStage(workspace, a, b, p, q, n, m, carry, magnitudes, layout, team)) {
        // Where the bound does not apply (an input not finite, or too
        // large), the result may be known without the grid (settled.cpp).
        if (tryPruning && settledResult(options.level, workspace, a, b, p, q, n, result))
            return true;
        return fullSolve(options, workspace, result, a, b, p, q, n, m);
    }
    if (magnitudes.unusual) {
        // Huge values can keep within the bound's limits and still make it
        // too wide to drop anything, so the rules that fix the result come
        // first for them too. They may use the workspace: the breakpoints
        // are collected and sorted after them (on a team, again) where they
        // fix nothing.
        if (settledResult(options.level, workspace, a, b, p, q, n, result)) return true;
        collectAndSort(workspace, p, q, n, m, layout, team);
    }
    if (layout.keyed == nullptr) return outOfMemory(result);
    *result = prunedSolve(options, layout, magnitudes, a, b, p, q, n, m, team);
    return true;
}

bool minimizeWithScan(ScanLevel level, double *result, double a, double b, const double *p,
                      const double *q, int32_t n) {
    Workspace workspace;
    return minimize({level, defaultOptions().strategy}, workspace, result, a, b, p, q, n);
}

}  // namespace tarvenloch

namespace {

// Problems that try pruning but are small enough for 32 KB of scratch (up
// to about 130 terms) get it on the stack rather than from the heap. A
// function of its own, so that smaller problems do not pay for the frame.
#if defined(_MSC_VER)
#define TARVENLOCH_NOINLINE __declspec(noinline)
#else
#define TARVENLOCH_NOINLINE __attribute__((noinline))
#endif
TARVENLOCH_NOINLINE bool minimizeWithStackScratch(const tarvenloch::SolveOptions &options,
                                                  double *result, double a, double b,
                                                  const double *p, const double *q, int32_t n) {
    alignas(64) unsigned char buffer[32768];
    tarvenloch::Workspace workspace(buffer, sizeof buffer);
    return tarvenloch::minimize(options, workspace, result, a, b, p, q, n);
}

}  // namespace

extern "C" bool minimizeOverBreakpoints(double *result, double a, double b, const double *p,
                                        const double *q, int32_t n) {
    const tarvenloch::SolveOptions options = tarvenloch::defaultOptions();
    // n bounds the breakpoints from above.
    if (n <= 130 && tarvenloch::triesPruning(options, n))
        return minimizeWithStackScratch(options, result, a, b, p, q, n);
    tarvenloch::Workspace workspace;
    return tarvenloch::minimize(options, workspace, result, a, b, p, q, n);
}
