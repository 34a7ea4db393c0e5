// Declarations shared inside the solver and with its tests and benchmarks;
// not part of the public interface.
#ifndef TARVENLOCH_INTERNAL_H
#define TARVENLOCH_INTERNAL_H

#include <cstddef>
#include <cstdint>

namespace tarvenloch {

// One bottom-up pass over the nodes start, start - 1, ..., 0 of the implicit
// binary tree values[0..limit-1]: each node takes the larger of its larger
// child's value and its own, moving values by one level only.
void siftPass(double *values, int32_t start, int32_t limit);

// The quadratic heap sort built from full sift passes. Exact order for input
// with NaN is defined by these steps.
void sortBySiftPasses(double *values, int32_t m);

// Instruction sets the interval scan can use, from the portable scalar code up.
enum class ScanLevel : int { Portable = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3 };

// Best candidate over the intervals whose midpoints are mid[0..count-1], in
// that order. mid must have room for count rounded up to a multiple of 8
// entries: the vector paths pad their last block in place.
using ScanFunction = double (*)(double *mid, int64_t count, double a, double b, const double *p,
                                const double *q, int32_t n);

double scanPortable(double *mid, int64_t count, double a, double b, const double *p,
                    const double *q, int32_t n);

// The widest level this processor supports, lowered by the environment
// variable TARVENLOCH_SCAN_LEVEL (portable, sse2, avx2 or avx512) if set.
// Decided on the first call and kept.
ScanLevel selectedScanLevel();

// Whether this build and this processor can run a level.
bool scanLevelSupported(ScanLevel level);

// The scan for a level; the portable scan when the level is not supported.
ScanFunction scanFor(ScanLevel level);

// How a problem is solved. Every strategy gives the same result to the bit;
// they differ only in cost. Automatic picks by size and data; the others are
// forced, so that tests and fuzzers reach every path on small problems.
enum class Strategy : int { Automatic = 0, FullScan = 1, Pruned = 2 };

struct SolveOptions {
    ScanLevel level;
    Strategy strategy;
};

// The selected scan level with the automatic strategy: what the public entry
// point uses.
SolveOptions defaultOptions();

// Scratch memory for one problem at a time, reusable across problems: a
// caller solving many problems keeps one per thread, so that the heap is
// asked at most once per growth instead of once per problem. Small problems
// fit in the inline buffer and never touch the heap.
class Workspace {
public:
    Workspace() = default;
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
    void *heap_ = nullptr;
    uint64_t heapBytes_ = 0;
};

// The minimiser with chosen options and scratch. Returns false, with NaN in
// *result, only when the workspace cannot provide the scratch.
bool minimize(const SolveOptions &options, Workspace &workspace, double *result, double a,
              double b, const double *p, const double *q, int32_t n);

// The minimiser with a chosen scan level, for tests and benchmarks.
bool minimizeWithScan(ScanLevel level, double *result, double a, double b, const double *p,
                      const double *q, int32_t n);

}  // namespace tarvenloch

#endif
