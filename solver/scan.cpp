// The exact scans: every candidate and score computed exactly as the
// literal computation computes them (same operations, same order, every
// product rounded before the addition), whether one interval at a time or
// many intervals in vector lanes. Whatever list of midpoints they are given,
// in order, they return the candidate that the literal scan over those
// midpoints would return.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"

#if defined(__APPLE__) && defined(TARVENLOCH_X86_SCANS)
#include <sys/sysctl.h>
#endif

// TARVENLOCH_X86_SCANS: the vector scans are built (scan_vector.cpp, once per
// instruction set). TARVENLOCH_SSE2_SCAN_ONLY as well: only the SSE2 one is,
// for Windows toolchains whose assembler cannot make every vector move an
// unaligned one (which 32- and 64-byte vectors on the 16-byte aligned stack need).
#if defined(TARVENLOCH_X86_SCANS) && !defined(TARVENLOCH_SSE2_SCAN_ONLY)
#define TARVENLOCH_WIDE_SCANS
#endif

namespace tarvenloch {

#if defined(TARVENLOCH_X86_SCANS)
// Built from scan_vector.cpp once per instruction set.
double scanSse2(double *mid, int64_t count, double a, double b, const double *p, const double *q,
                int32_t n);
void scanSse2Slopes(double *mid, int64_t count, const double *p, const double *q, int32_t n,
                    double *t);
void scanSse2Values(double *u, int64_t count, double a, double b, const double *p, const double *q,
                    int32_t n, double *score);
void scanSse2SignedSlopes(double *mid, int64_t count, const double *p, const double *q,
                          const unsigned char *signs, int32_t n, double *t);
#endif
#if defined(TARVENLOCH_WIDE_SCANS)
double scanAvx2(double *mid, int64_t count, double a, double b, const double *p, const double *q,
                int32_t n);
double scanAvx512(double *mid, int64_t count, double a, double b, const double *p, const double *q,
                  int32_t n);
void scanAvx2Slopes(double *mid, int64_t count, const double *p, const double *q, int32_t n,
                    double *t);
void scanAvx512Slopes(double *mid, int64_t count, const double *p, const double *q, int32_t n,
                      double *t);
void scanAvx2Values(double *u, int64_t count, double a, double b, const double *p, const double *q,
                    int32_t n, double *score);
void scanAvx512Values(double *u, int64_t count, double a, double b, const double *p,
                      const double *q, int32_t n, double *score);
void scanAvx2SignedSlopes(double *mid, int64_t count, const double *p, const double *q,
                          const unsigned char *signs, int32_t n, double *t);
void scanAvx512SignedSlopes(double *mid, int64_t count, const double *p, const double *q,
                            const unsigned char *signs, int32_t n, double *t);
#endif

namespace {

// The slope of the sum at midpoint o, one term at a time; a NaN x counts as
// negative.
inline double slopeAt(double o, const double *p, const double *q, int32_t n) {
    double t = 0.0;
    for (int32_t k = 0; k < n; ++k) {
        const double x = p[k] * o + q[k];
        if (x >= 0) {
            t = t + p[k];
        } else {
            t = t - p[k];
        }
    }
    return t;
}

// The score of candidate u, one term at a time.
inline double scoreAt(double u, double a, double b, const double *p, const double *q, int32_t n) {
    double v = 0.0;
    for (int32_t k = 0; k < n; ++k) {
        const double y = u * p[k] + q[k];
        if (y >= 0) {
            v = v + y;
        } else {
            v = v - y;
        }
    }
    return ((u - a) * 0.5) * (u - a) - v * b;
}

}  // namespace

// The interval scan written out one interval and one term at a time: the
// reference every vector scan must match to the bit.
double scanPortable(double *mid, int64_t count, double a, double b, const double *p,
                    const double *q, int32_t n) {
    double bestValue = 1e100;
    double bestCandidate = 1e8;
    for (int64_t j = 0; j < count; ++j) {
        // The piece's stationary point, evaluated wherever it lies.
        const double u = slopeAt(mid[j], p, q, n) * b + a;
        const double value = scoreAt(u, a, b, p, q, n);
        // Strict: the leftmost of equal values stays, a NaN never wins.
        if (value < bestValue) {
            bestValue = value;
            bestCandidate = u;
            // Nothing scores below -Inf: no later interval can win.
            if (value == -std::numeric_limits<double>::infinity()) break;
        }
    }
    return bestCandidate;
}

void slopesPortable(double *mid, int64_t count, const double *p, const double *q, int32_t n,
                    double *t) {
    for (int64_t j = 0; j < count; ++j) t[j] = slopeAt(mid[j], p, q, n);
}

void signedSlopesPortable(double *mid, int64_t count, const double *p, const double *q,
                          const unsigned char *signs, int32_t n, double *t) {
    for (int64_t j = 0; j < count; ++j) {
        double slope = 0.0;
        for (int32_t k = 0; k < n; ++k) {
            const bool adds =
                signs[k] == kSlopeVaries ? nonNegative(p[k], mid[j], q[k]) : signs[k] == kAddsSlope;
            if (adds) {
                slope = slope + p[k];
            } else {
                slope = slope - p[k];
            }
        }
        t[j] = slope;
    }
}

void valuesPortable(double *u, int64_t count, double a, double b, const double *p, const double *q,
                    int32_t n, double *score) {
    for (int64_t j = 0; j < count; ++j) score[j] = scoreAt(u[j], a, b, p, q, n);
}

#if defined(TARVENLOCH_WIDE_SCANS)
namespace {
// Whether the processor and the system support AVX2 and AVX-512. macOS
// names each in a sysctl (and turns AVX-512 on for a thread only at its
// first use, which the processor's own flags do not show yet); elsewhere
// the compiler's runtime asks the processor. That runtime's __cpu_model is
// not in every toolchain's for macOS, which is why it is not used there.
#if defined(__APPLE__)
bool systemReports(const char *name) {
    int value = 0;
    size_t size = sizeof value;
    return sysctlbyname(name, &value, &size, nullptr, 0) == 0 && value != 0;
}
bool hasAvx2() { return systemReports("hw.optional.avx2_0"); }
bool hasAvx512() { return systemReports("hw.optional.avx512f"); }
#else
bool hasAvx2() { return __builtin_cpu_supports("avx2"); }
bool hasAvx512() { return __builtin_cpu_supports("avx512f"); }
#endif
}  // namespace
#endif

bool scanLevelSupported(ScanLevel level) {
    switch (level) {
        case ScanLevel::Portable:
            return true;
#if defined(TARVENLOCH_X86_SCANS)
        case ScanLevel::Sse2:
            return true;  // part of every x86-64 processor
#endif
#if defined(TARVENLOCH_WIDE_SCANS)
        case ScanLevel::Avx2:
            return hasAvx2();
        case ScanLevel::Avx512:
            return hasAvx512();
#endif
        default:
            return false;
    }
}

namespace {

// The kernels of each level this build has, the portable ones standing in
// for any it has not.
ScanKernels builtKernels(ScanLevel level) {
    switch (level) {
#if defined(TARVENLOCH_X86_SCANS)
        case ScanLevel::Sse2:
            return {scanSse2, scanSse2Slopes, scanSse2Values, scanSse2SignedSlopes};
#endif
#if defined(TARVENLOCH_WIDE_SCANS)
        case ScanLevel::Avx2:
            return {scanAvx2, scanAvx2Slopes, scanAvx2Values, scanAvx2SignedSlopes};
        case ScanLevel::Avx512:
            return {scanAvx512, scanAvx512Slopes, scanAvx512Values, scanAvx512SignedSlopes};
#endif
        default:
            return {scanPortable, slopesPortable, valuesPortable, signedSlopesPortable};
    }
}

}  // namespace

// Every call of the solver asks for its kernels, so which levels this
// processor supports is asked once (on macOS each answer is a sysctl) and
// kept, one bit a level.
ScanKernels kernelsFor(ScanLevel level) {
    static std::atomic<int> supported{-1};
    const int levels = decidedOnce(supported, [] {
        int bits = 0;
        for (int l = 0; l <= static_cast<int>(ScanLevel::Avx512); ++l)
            bits |= scanLevelSupported(static_cast<ScanLevel>(l)) << l;
        return bits;
    });
    return levels >> static_cast<int>(level) & 1 ? builtKernels(level)
                                                 : builtKernels(ScanLevel::Portable);
}

namespace {

// Intervals per piece when a team shares a scan: whole vectors of the
// widest lanes (8), so that only the last piece pads, into the room the
// list has; two pieces a thread. Each piece streams every term from memory
// once (the long scans take the terms a chunk at a time for all of a
// piece's intervals), so more pieces cost more memory traffic: at 10^6
// terms eight pieces a thread took 5 % longer than two.
int64_t intervalsPerPiece(int64_t count, const Team *team) {
    constexpr int64_t kVector = 8;
    const int64_t wanted = (count + 2 * team->threads - 1) / (2 * team->threads);
    return std::max<int64_t>(kVector, (wanted + kVector - 1) / kVector * kVector);
}

// kernel(from, length) over [0, count), in pieces shared with the team.
template <typename Kernel>
void inPieces(Team *team, int64_t count, Kernel kernel) {
    if (team == nullptr) {
        kernel(0, count);
        return;
    }
    forEachRange(team, Ranges::ofSize(count, intervalsPerPiece(count, team)),
                 [&](int64_t, int64_t from, int64_t to) { kernel(from, to - from); });
}

}  // namespace

bool knownSigns(const double *mid, int64_t count, const double *p, const double *q, int32_t n,
                unsigned char *signs, Team *team) {
    if (count < 1) return false;
    double lowest = mid[0], highest = mid[0];
    bool ordered = true;  // no NaN among the midpoints
    for (int64_t j = 0; j < count; ++j) {
        lowest = mid[j] < lowest ? mid[j] : lowest;
        highest = mid[j] > highest ? mid[j] : highest;
        ordered &= mid[j] == mid[j];
    }
    if (!ordered) return false;
    forEachRange(team, rangesFor(team, n), [&](int64_t, int64_t from, int64_t to) {
        for (int64_t k = from; k < to; ++k) {
            const bool low = nonNegative(p[k], lowest, q[k]);
            const bool high = nonNegative(p[k], highest, q[k]);
            signs[k] = low != high ? kSlopeVaries : low ? kAddsSlope : kSubtractsSlope;
        }
    });
    return true;
}

double scanDeduplicated(const ScanKernels &kernels, double *mid, int64_t count, double a, double b,
                        const double *p, const double *q, int32_t n, double *t, double *score,
                        const CandidateFilter *filter, Team *team, unsigned char *signs) {
    const bool known = signs != nullptr && knownSigns(mid, count, p, q, n, signs, team);
    inPieces(team, count, [&](int64_t from, int64_t length) {
        if (known) {
            kernels.signedSlopes(mid + from, length, p, q, signs, n, t + from);
        } else {
            kernels.slopes(mid + from, length, p, q, n, t + from);
        }
    });
    // The score depends on the candidate alone, so an interval whose
    // candidate repeats the one before it scores the same and, coming later,
    // cannot win: only the first of each run is scored. t becomes the list
    // of those candidates.
    int64_t unique = 0;
    uint64_t previous = 0;
    for (int64_t j = 0; j < count; ++j) {
        const double u = t[j] * b + a;
        uint64_t bits;
        std::memcpy(&bits, &u, sizeof bits);
        if (j > 0 && bits == previous) continue;
        previous = bits;
        t[unique++] = u;
    }
    if (filter != nullptr) {
        bool settled = false;
        unique = filter->apply(filter->context, t, unique, &settled);
        if (settled) return t[0];
    }
    inPieces(team, unique, [&](int64_t from, int64_t length) {
        kernels.values(t + from, length, a, b, p, q, n, score + from);
    });
    double bestValue = 1e100;
    double bestCandidate = 1e8;
    for (int64_t j = 0; j < unique; ++j) {
        if (score[j] < bestValue) {
            bestValue = score[j];
            bestCandidate = t[j];
        }
    }
    return bestCandidate;
}

namespace {

ScanLevel detectScanLevel() {
    ScanLevel level = ScanLevel::Avx512;
    while (level != ScanLevel::Portable && !scanLevelSupported(level)) {
        level = static_cast<ScanLevel>(static_cast<int>(level) - 1);
    }
    // A cap from the environment, for comparing levels in one build.
    const char *cap = std::getenv("TARVENLOCH_SCAN_LEVEL");
    if (cap != nullptr) {
        static const char *const names[] = {"portable", "sse2", "avx2", "avx512"};
        for (int i = 0; i < 4; ++i) {
            if (std::strcmp(cap, names[i]) == 0 && i < static_cast<int>(level)) {
                level = static_cast<ScanLevel>(i);
            }
        }
    }
    return level;
}

}  // namespace

ScanLevel selectedScanLevel() {
    static std::atomic<int> level{-1};
    return static_cast<ScanLevel>(
        decidedOnce(level, [] { return static_cast<int>(detectScanLevel()); }));
}

}  // namespace tarvenloch
