// Declarations shared inside the solver and with its tests and benchmarks;
// not part of the public interface.
//
// The solver is a pipeline, one file a stage:
//   grid.h        the breakpoints and the grid's midpoints
//   sort.cpp      the breakpoint sort
//   drop.cpp      dropping intervals that repeat their left neighbour
//   prune.cpp     pruning intervals that provably cannot win (bound.h:
//                 the bound it rests on)
//   settled.cpp   results known before the grid is built
//   scan.cpp      the exact scans (scan_vector.cpp: their vector forms)
//   minimize.cpp  the orchestration, and the scratch memory
#ifndef TARVENLOCH_INTERNAL_H
#define TARVENLOCH_INTERNAL_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tarvenloch {

// decide(), a non-negative value, computed on the first call and kept in
// slot (which starts at -1). Threads that race to it all compute the same
// value, so a relaxed atomic is enough: no lock and no guarded static, which
// would draw the C++ runtime's guard (and its exception support) into a
// module that must carry no more of that runtime than it uses.
template <typename Decide>
int decidedOnce(std::atomic<int> &slot, Decide decide) {
    int value = slot.load(std::memory_order_relaxed);
    if (value < 0) {
        value = decide();
        slot.store(value, std::memory_order_relaxed);
    }
    return value;
}

// ---- Threads for one problem ----

// The threads one problem's work may be shared among: the batch's, when it
// has more threads than problems to give them (batch.cpp). The solver
// itself starts none.
struct Team {
    // Runs body(context, piece) once for every piece in [0, pieces), on
    // this thread and on any of the team's idle threads, and returns when
    // every piece is done.
    void (*share)(Team *team, int64_t pieces, void (*body)(void *, int64_t), void *context);
    int threads;  // how many threads may take part, the caller's included
};

// body(piece) for every piece in [0, pieces): shared with the team's idle
// threads, or in order on this thread when there is no team. The pieces
// must not depend on one another: which thread runs which, and when,
// changes from run to run.
template <typename Body>
void forEachPiece(Team *team, int64_t pieces, Body &&body) {
    using Plain = typename std::remove_reference<Body>::type;
    if (team == nullptr || pieces <= 1) {
        for (int64_t piece = 0; piece < pieces; ++piece) body(piece);
        return;
    }
    team->share(
        team, pieces, [](void *context, int64_t piece) { (*static_cast<Plain *>(context))(piece); },
        &body);
}

// Consecutive ranges that tile [0, total) in order: range r is
// [from(r), from(r + 1)) for r in [0, count), with from(0) = 0,
// from(count) = total, and from never descending (a range may be empty).
// So each index lies in exactly one range, and the ranges come in the
// order of their indices: results kept per range and merged in range
// order are what one pass over [0, total) gives. Every pass that is cut
// into ranges (the sort's, the grid's, the pruning's and the scans') is
// cut by this, and relies on nothing else about the cut.
struct Ranges {
    int64_t total, count, size;

    // count >= 1 ranges of ceil(total / count) entries, the last ones
    // shorter or empty.
    static Ranges even(int64_t total, int64_t count) {
        return {total, count, (total + count - 1) / count};
    }
    // As many ranges of size >= 1 entries as cover total, the last shorter.
    static Ranges ofSize(int64_t total, int64_t size) {
        return {total, (total + size - 1) / size, size};
    }
    int64_t from(int64_t r) const { return std::min(total, r * size); }
};

// The ranges a shared pass over total terms, kinks or candidates is cut
// into: about four for each of the team's threads, so that the threads end
// close together, and at most kMostRanges, so that a pass can keep a value
// per range on the stack; one without a team, which makes the pass the
// serial one.
constexpr int64_t kMostRanges = 64;
inline Ranges rangesFor(const Team *team, int64_t total) {
    return Ranges::even(total,
                        team == nullptr ? 1 : std::min<int64_t>(kMostRanges, 4 * team->threads));
}

// body(r, from, to) for every range r = [from, to), shared as forEachPiece
// shares its pieces.
template <typename Body>
void forEachRange(Team *team, const Ranges &ranges, Body &&body) {
    forEachPiece(team, ranges.count,
                 [&](int64_t r) { body(r, ranges.from(r), ranges.from(r + 1)); });
}

// ---- The breakpoints and the grid (grid.h) ----

// A breakpoint with the term it came from. r is stored as the grid stores
// it (|q / p|, by negation when the quotient is not positive); the term's
// kink -q/p is -r when the quotient was positive, and r otherwise.
struct KeyedBreakpoint {
    double r;
    int32_t term;
    int32_t positiveQuotient;
};

// Whether p * o + q >= 0, evaluated exactly as the scan evaluates it: the
// sign that the literal computation gives term (p, q) at midpoint o.
inline bool nonNegative(double p, double o, double q) {
    const double product = p * o;
    return product + q >= 0;
}
// x when keep holds, else -x (the same bits as unary minus), without a
// branch: signs on random data are as unpredictable as coin flips.
inline double negatedUnless(bool keep, double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits ^= static_cast<uint64_t>(!keep) << 63;
    std::memcpy(&x, &bits, sizeof bits);
    return x;
}
// ---- The sort (sort.cpp) ----

// One bottom-up pass over the nodes start, start - 1, ..., 0 of the implicit
// binary tree values[0..limit-1]: each node takes the larger of its larger
// child's value and its own, moving values by one level only.
void siftPass(double *values, int32_t start, int32_t limit);

// The quadratic heap sort built from full sift passes. Exact order for input
// with NaN is defined by these steps.
void sortBySiftPasses(double *values, int32_t m);

// Sorts by r, ascending; every r must be >= 0, -0.0 or +infinity (never
// NaN), as breakpoints from finite inputs are. The r sequence that results
// is the one sortBreakpoints makes of the same values (up to the order of
// -0.0 and +0.0, which compare equal). spare has room for m values. With
// a team, and tables of tableBytes bytes (a multiple of sortTableBytes(m)
// for each range it may cut the values into), the passes are shared among
// its threads; the order is the same.
void sortKeyedBreakpoints(KeyedBreakpoint *values, int32_t m, KeyedBreakpoint *spare,
                          Team *team = nullptr, void *tables = nullptr, uint64_t tableBytes = 0);

// The bytes of one range's table of counts when m values are sorted.
uint64_t sortTableBytes(int32_t m);

// ---- Dropping repeated intervals (drop.cpp) ----

// Scans shorter than this are not searched for repeated intervals: each
// binary search step waits on the one before, and below this many
// intervals the searches cost more than the intervals they save.
constexpr int64_t kMinIntervalsToDrop = 512;

// Drops every interval whose pattern of term signs equals its left
// neighbour's, keeping the first of each run; returns how many remain.
// marks needs room for count bytes. Returns count at once below
// kMinIntervalsToDrop intervals.
int64_t dropRepeatedIntervals(double *mid, int64_t count, const double *p, const double *q,
                              int32_t n, unsigned char *marks);

// ---- Pruning (prune.cpp) ----

// Sum |p| and sum |q| rounded up, when the pruning bound can be used for
// this problem: every input finite and no quantity of the bound overflowing.
struct Magnitudes {
    double slopes;   // >= sum |p_k|
    double offsets;  // >= sum |q_k|
    // >= the sums over k of the partial sums |p_1| + ... + |p_k|, and the
    // same of |q|: each term weighted by how many partial sums of a
    // recursive sum in term order hold it, which bounds that sum's rounding.
    double weightedSlopes;
    double weightedOffsets;
    double slopeSum;     // sum |p_k|, in k, compensated: this high part
    double slopeSumLow;  // and the rounding error it carries
    double offsetSum;    // sum of -sign(p_k) q_k, or |q_k| where p_k = 0, likewise
    double offsetSumLow;
    bool compensated;        // whether the rounding errors are carried (else every low part is 0)
    int32_t rangeShift = 0;  // K: the bound is worked in a range scaled by 2^-K (0: as it stands)
    bool unusual;            // some input may be NaN, infinite or at least 2^200 (unusualMark)
    int32_t tinyTerms;       // terms with 0 < |p_k| <= 1e-10: a kink but no breakpoint
};
// Bit 63 set when x is NaN, infinite or at least 2^200 in magnitude, the
// inputs under which settledResult's rules may fix the result; below 2^200
// none of them applies. The bits of |x| with 2048 - 1223 added to the
// exponent field carry into the sign bit, which |x| leaves clear, just when
// that field is 1223 or more (the field holds 0 to 2047): ORed over the
// inputs, with no branch.
constexpr uint32_t kHugeField = 1023 + 200;
inline uint64_t unusualMark(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & ~(uint64_t{1} << 63)) + (uint64_t{2048 - kHugeField} << 52);
}

// Whether the pruning's running sums carry their rounding errors:
// automatically (from a size on where it pays), never, or always.
enum class Carry : int { Automatic = 0, Never = 1, Always = 2 };
bool pruningApplies(double a, double b, const double *p, const double *q, int32_t n,
                    Magnitudes *magnitudes, Carry carry = Carry::Automatic);

// One interval's estimated score and its bound: |exact score - score| <= bound.
struct IntervalEstimate {
    int64_t interval;  // index into the midpoints
    double score;
    double bound;
};

// Scratch the pruning needs for n terms and count intervals, in bytes:
// about 56 a term with a breakpoint for every term. Only its first 64 bytes
// are read before pruneIntervals writes them: a caller may use the rest
// until then.
uint64_t pruningScratchBytes(int32_t n, int64_t count);

// Writes to kept, in interval order, the midpoints of every interval that
// could still hold the result, and returns how many. Needs: pruningApplies
// true, the grid's count midpoints ascending, sorted the m keyed
// breakpoints in ascending order. mid holds the midpoints, or is null: they
// are then computed from sorted as they are needed. scratch holds
// pruningScratchBytes(n, count) bytes, aligned for doubles; kept has room
// for n + 1 midpoints. When estimates is not null, the estimate of every
// interval that starts a new sign pattern is written there too (at most
// n + 1), *estimateCount says how many, and *commonBound gets the bound that
// every estimate's bound must be within. With a team, the passes are shared
// among its threads; the result is the same to the bit.
int64_t pruneIntervals(double a, double b, const double *p, const double *q, int32_t n,
                       const Magnitudes &magnitudes, const KeyedBreakpoint *sorted, int32_t m,
                       const double *mid, int64_t count, void *scratch, double *kept,
                       IntervalEstimate *estimates = nullptr, int64_t *estimateCount = nullptr,
                       double *commonBound = nullptr, Team *team = nullptr);

// The second round, after the exact slopes of the kept intervals are known:
// u[0..count-1] are their literal candidates, in interval order (equal
// neighbours already merged). Removes, in place, every candidate whose
// score provably exceeds another's, and returns how many remain. Needs the
// scratch of a pruneIntervals call on the same problem, whose p and q are
// still there (it reads the kinks from them); where that call
// kept only the first interval (b = 0), returns count. When estimates is
// not null, each candidate's estimate and bound is written there (interval
// = its index in u). When settled is not null, *settled tells whether one
// candidate remains whose exact score is certainly below the scan's
// starting value 1e100: it is then the result, without its score computed.
int64_t refineCandidates(double a, double b, int32_t n, const Magnitudes &magnitudes, void *scratch,
                         double *u, int64_t count, IntervalEstimate *estimates = nullptr,
                         bool *settled = nullptr);

// ---- The exact scans (scan.cpp, scan_vector.cpp) ----

// Instruction sets the interval scan can use, from the portable scalar code up.
enum class ScanLevel : int { Portable = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3 };

// Best candidate over the intervals whose midpoints are mid[0..count-1], in
// that order. mid must have room for count rounded up to a multiple of 8
// entries: the vector paths pad their last block in place.
using ScanFunction = double (*)(double *mid, int64_t count, double a, double b, const double *p,
                                const double *q, int32_t n);
// The slope t of each interval (the first half of the scan); t has the
// same room as mid.
using SlopesFunction = void (*)(double *mid, int64_t count, const double *p, const double *q,
                                int32_t n, double *t);
// The score of each candidate u (the second half); score has u's room.
using ValuesFunction = void (*)(double *u, int64_t count, double a, double b, const double *p,
                                const double *q, int32_t n, double *score);

// The slopes where signs[k] says what term k adds to every interval's
// slope: p[k] (kAddsSlope), -p[k] (kSubtractsSlope), or either
// (kSlopeVaries), which its test decides interval by interval. The slopes
// kernel's bits, with the known terms added without their test (each level
// adds or subtracts in the same form on both paths, so that even a NaN
// slope keeps its sign).
constexpr unsigned char kAddsSlope = 0, kSubtractsSlope = 1, kSlopeVaries = 2;
using SignedSlopesFunction = void (*)(double *mid, int64_t count, const double *p, const double *q,
                                      const unsigned char *signs, int32_t n, double *t);

struct ScanKernels {
    ScanFunction scan;
    SlopesFunction slopes;
    ValuesFunction values;
    SignedSlopesFunction signedSlopes;
};

// What each term adds to the slope of every interval whose midpoint is
// among mid[0..count-1], into signs[0..n-1], as SignedSlopesFunction takes
// it; false, with nothing written, where a midpoint is NaN. A term whose
// test, fl(fl(p o) + q) >= 0, gives the same answer at the least and the
// greatest midpoint gives it at every one between, whatever p != 0 and q
// are, because the answer changes at most once as o grows (and is the
// same at -0.0 and +0.0):
// - fl(p o) is monotone in o (rounding is), and NaN only for an infinite p
//   at o = 0, where the test fails as it does for every o on one side of 0
//   (below it for p = +inf, above it for p = -inf);
// - adding q keeps that order, and gives NaN, failing the test, only where
//   fl(p o) or q is NaN, or fl(p o) is the infinity opposite to an
//   infinite q: for q = -inf the test fails everywhere, and for q = +inf
//   it fails where fl(p o) is -inf or NaN, a half-line in o, and holds
//   elsewhere;
// - a NaN p or q fails the test everywhere.
// A term with p = 0 adds a zero, which leaves every slope as it is whatever
// its sign: rounding to nearest makes a sum -0.0 only when both addends
// are, and a slope starts at +0.0, so it never is.
bool knownSigns(const double *mid, int64_t count, const double *p, const double *q, int32_t n,
                unsigned char *signs, Team *team = nullptr);

// From this many survivors of the pruning on, their slopes take the known
// signs (always where pruning is forced, so that tests and fuzzers reach
// them on small problems): a pass over the terms, repaid by every vector
// of intervals.
constexpr int64_t kMinSignedIntervals = 32;

double scanPortable(double *mid, int64_t count, double a, double b, const double *p,
                    const double *q, int32_t n);

// Narrows a list of candidates, in order, in place; returns how many remain.
// It may remove only candidates that cannot hold the first least score. It
// sets *settled when a single candidate remains that certainly scores below
// the scan's starting value 1e100, and so is the result (else leaves it).
struct CandidateFilter {
    int64_t (*apply)(const void *context, double *u, int64_t count, bool *settled);
    const void *context;
};

// The scan in two halves, scoring only the first interval of each run of
// equal candidates, and only those the filter (if any) keeps: the same
// result as kernels.scan. t and score need the room mid has. With a team,
// each half's intervals are shared out among its threads in pieces; every
// interval's sums are still taken by one thread, in term order. Given room
// for n bytes in signs (which may be score's own: the slopes are done with
// it before any score is written), the slopes take the terms' known signs.
double scanDeduplicated(const ScanKernels &kernels, double *mid, int64_t count, double a, double b,
                        const double *p, const double *q, int32_t n, double *t, double *score,
                        const CandidateFilter *filter = nullptr, Team *team = nullptr,
                        unsigned char *signs = nullptr);

// The widest level this processor supports, lowered by the environment
// variable TARVENLOCH_SCAN_LEVEL (portable, sse2, avx2 or avx512) if set.
// Decided on the first call and kept.
ScanLevel selectedScanLevel();

// Whether this build and this processor can run a level.
bool scanLevelSupported(ScanLevel level);

// The kernels for a level; the portable ones when the level is not supported.
ScanKernels kernelsFor(ScanLevel level);

// ---- Results known before the grid is built (settled.cpp) ----

class Workspace;

// Whether the result of a problem with at least one breakpoint is known
// from O(n) passes over its terms, and if so writes it to *result: inputs
// under which every score is NaN or +Inf (the result is 1e8), the first
// interval scores -Inf, or huge values make every interval score the same
// or none score below 1e100. Where huge values make every score +Inf or NaN
// but near a slope of zero, it also scans just the intervals there (with
// the scan of this level), on the sorted grid in the workspace's scratch.
// Otherwise it returns false, after one pass for finite inputs below 2^200
// in magnitude. docs/pruning.md, "Results known before the scan", gives the
// argument for each rule.
bool settledResult(ScanLevel level, Workspace &workspace, double a, double b, const double *p,
                   const double *q, int32_t n, double *result);

// ---- The orchestration (minimize.cpp) ----

// Problems with fewer breakpoints than this take the full scan unless
// pruning is forced: below it the pruning's fixed costs outweigh the
// intervals it saves. The full scan's cost falls with the vector width of
// the scan level, so the size where pruning pays rises with it (measured
// with both forced on normal, convex, heavy-tailed and integer data,
// docs/performance.md).
int32_t minPrunedBreakpoints(ScanLevel level);
// The largest of them: below it every level takes the full scan.
constexpr int32_t kMinPrunedBreakpoints = 52;

// How a problem is solved. Every strategy gives the same result to the bit;
// they differ only in cost. Automatic picks by size and data; the others are
// forced, so that tests and fuzzers reach every path on small problems.
// Pruned falls back to the full scan where its bound does not apply.
// PrunedCarried also carries the running sums' rounding errors whatever
// the size (see Carry). Where pruning is tried (Automatic from
// minPrunedBreakpoints on, Pruned and PrunedCarried at every size) and
// its bound does not apply, settledResult() is asked before the full scan;
// below that size every input costs about the same full scan.
enum class Strategy : int { Automatic = 0, FullScan = 1, Pruned = 2, PrunedCarried = 3 };

// Whether a problem's work is shared among a team's threads: from
// kMinSplitTerms terms on (Automatic), never, or whatever the size (Always,
// so that tests and fuzzers reach the split on small problems). The result
// is the same to the bit either way.
enum class Split : int { Automatic = 0, Never = 1, Always = 2 };

// Problems with fewer terms than this are solved by one thread: below it,
// the threads would wait on each other longer than they work.
constexpr int32_t kMinSplitTerms = 20000;

struct SolveOptions {
    ScanLevel level;
    Strategy strategy;
    Split split = Split::Automatic;
};

// The selected scan level, and the strategy from the environment variable
// TARVENLOCH_STRATEGY (full, pruned or carried; automatic otherwise), decided on the
// first call and kept: what the public entry point uses.
SolveOptions defaultOptions();

// Scratch memory for one problem at a time, reusable across problems: a
// caller solving many problems keeps one per thread, so that the heap is
// asked at most once per growth instead of once per problem. Small problems
// fit in the inline buffer and never touch the heap.
class Workspace {
public:
    Workspace() = default;
    // With a larger buffer of the caller's (on its stack, say) in place of
    // the inline one; it must outlive the workspace.
    Workspace(void *buffer, size_t bytes) : buffer_(buffer), bufferBytes_(bytes) {}
    ~Workspace();
    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;

    // Room for at least `bytes` bytes, aligned for doubles and 64-bit
    // integers, valid until the next call; nullptr when it cannot be had.
    // The contents are not kept from one call to the next.
    void *reserve(uint64_t bytes);

private:
    static constexpr size_t kInlineBytes = 4096;
    alignas(64) unsigned char inline_[kInlineBytes];
    void *buffer_ = inline_;
    size_t bufferBytes_ = kInlineBytes;
    void *heap_ = nullptr;
    uint64_t heapBytes_ = 0;
};

// The minimiser with chosen options and scratch, its work shared with team
// (if any) as options.split says. Returns false, with NaN in *result, only
// when the workspace cannot provide the scratch.
bool minimize(const SolveOptions &options, Workspace &workspace, double *result, double a, double b,
              const double *p, const double *q, int32_t n, Team *team = nullptr);

// The minimiser with a chosen scan level, for tests and benchmarks.
bool minimizeWithScan(ScanLevel level, double *result, double a, double b, const double *p,
                      const double *q, int32_t n);

}  // namespace tarvenloch

#endif
