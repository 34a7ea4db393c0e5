// The interval scan, many intervals at a time: one interval per vector lane.
//
// Compiled once per instruction set, with SCAN_NAME naming the entry points
// (SCAN_NAME, SCAN_NAME##Slopes, SCAN_NAME##SignedSlopes and
// SCAN_NAME##Values) and SCAN_BYTES the
// vector width. Each lane performs exactly the operations
// of the portable scan, in the same order (every product rounded, then
// added), so every lane's candidate and score agree with it to the bit; the
// best candidate is then chosen lane by lane in interval order.
//
// Nothing from a library is included: every inline function here is compiled
// for this file's instruction set only and must not leak into other files.
#include <stdint.h>

#ifndef SCAN_NAME
#error "SCAN_NAME must name the entry point"
#endif
#define SCAN_JOIN2(x, y) x##y
#define SCAN_JOIN(x, y) SCAN_JOIN2(x, y)

namespace tarvenloch {
namespace {

constexpr int kLanes = SCAN_BYTES / 8;
// What a term adds to every slope of a scan (SignedSlopesFunction in
// internal.h, which this file does not include: the same values; any other
// value, kSubtractsSlope there, means -p).
constexpr unsigned char kAddsSlope = 0, kSlopeVaries = 2;
typedef double Vector __attribute__((vector_size(SCAN_BYTES)));
typedef long long VectorBits __attribute__((vector_size(SCAN_BYTES)));

// value - (+0.0) is value exactly, -0.0 and NaN included; the compiler
// makes a plain broadcast of it.
inline Vector broadcast(double value) {
    const Vector zero = {};
    return value - zero;
}

inline Vector load(const double *from) {
    Vector result;
    __builtin_memcpy(&result, from, sizeof result);
    return result;
}

// t = t + p where p * o + q >= 0, else t - p (written t + -p, the same IEEE
// operation); a NaN fails the comparison and takes -p. The slopes of the
// kBlocks * kLanes intervals whose midpoints are o.
// Adds the terms first..last-1 to the slopes t of the kBlocks * kLanes
// intervals whose midpoints are o.
template <int kBlocks>
inline void addSlopes(const Vector *o, const double *p, const double *q, int32_t first,
                      int32_t last, Vector *t) {
    const Vector zero = {};
    for (int32_t k = first; k < last; ++k) {
        const Vector pk = broadcast(p[k]);
        const Vector qk = broadcast(q[k]);
        const Vector minusPk = -pk;
        for (int r = 0; r < kBlocks; ++r) {
            const Vector product = pk * o[r];
            const Vector x = product + qk;
            t[r] = t[r] + (x >= zero ? pk : minusPk);
        }
    }
}

// The same where signs[k] says what term k adds to the slope of every one
// of these intervals: p (kAddsSlope), -p (kSubtractsSlope), or either
// (kSlopeVaries), which the test decides lane by lane. A known term's
// addition is the one its test would choose, written t + -p as above.
template <int kBlocks>
inline void addSignedSlopes(const Vector *o, const double *p, const double *q,
                            const unsigned char *signs, int32_t first, int32_t last, Vector *t) {
    for (int32_t k = first; k < last; ++k) {
        const unsigned char sign = signs[k];
        if (sign != kSlopeVaries) {
            const Vector known = broadcast(sign == kAddsSlope ? p[k] : -p[k]);
            for (int r = 0; r < kBlocks; ++r) t[r] = t[r] + known;
        } else {
            addSlopes<kBlocks>(o, p, q, k, k + 1, t);
        }
    }
}

// Either of the two above: with signs, where they are given.
template <int kBlocks>
inline void addSlopesOf(const Vector *o, const double *p, const double *q,
                        const unsigned char *signs, int32_t first, int32_t last, Vector *t) {
    if (signs != nullptr) {
        addSignedSlopes<kBlocks>(o, p, q, signs, first, last, t);
    } else {
        addSlopes<kBlocks>(o, p, q, first, last, t);
    }
}

// The slopes of the kBlocks * kLanes intervals whose midpoints are o, with
// signs where they are given.
template <int kBlocks>
inline void slopeBlock(const Vector *o, const double *p, const double *q,
                       const unsigned char *signs, int32_t n, Vector *t) {
    const Vector zero = {};
    for (int r = 0; r < kBlocks; ++r) t[r] = zero;
    addSlopesOf<kBlocks>(o, p, q, signs, 0, n, t);
}

// The scores of the candidates u. v = v + y where y >= 0, else v - y,
// written v + |y|: the two differ only for y = -0.0, where v + -0.0 and
// v + +0.0 are equal because v is never -0.0 (it starts at +0.0 and only
// grows), and in NaN payloads, which never reach a result since a NaN score
// never wins.
template <int kBlocks>
inline void addSums(const Vector *u, const double *p, const double *q, int32_t first, int32_t last,
                    Vector *v) {
    const Vector magnitude = (Vector)(~(VectorBits)broadcast(-0.0));
    for (int32_t k = first; k < last; ++k) {
        const Vector pk = broadcast(p[k]);
        const Vector qk = broadcast(q[k]);
        for (int r = 0; r < kBlocks; ++r) {
            const Vector product = u[r] * pk;
            const Vector y = product + qk;
            v[r] = v[r] + (Vector)((VectorBits)y & (VectorBits)magnitude);
        }
    }
}

template <int kBlocks>
inline void scoresOf(const Vector *u, double a, double b, const Vector *v, Vector *score) {
    const Vector av = broadcast(a);
    const Vector bv = broadcast(b);
    const Vector half = broadcast(0.5);
    for (int r = 0; r < kBlocks; ++r) {
        const Vector d = u[r] - av;
        const Vector quadratic = (d * half) * d;
        const Vector weighted = v[r] * bv;
        score[r] = quadratic - weighted;
    }
}

template <int kBlocks>
inline void valueBlock(const Vector *u, double a, double b, const double *p, const double *q,
                       int32_t n, Vector *score) {
    const Vector zero = {};
    Vector v[kBlocks];
    for (int r = 0; r < kBlocks; ++r) v[r] = zero;
    addSums<kBlocks>(u, p, q, 0, n, v);
    scoresOf<kBlocks>(u, a, b, v, score);
}

// u = t * b + a, the product rounded first.
inline Vector candidate(Vector t, double a, double b) {
    const Vector product = t * broadcast(b);
    return product + broadcast(a);
}

// Candidates u and scores of the kBlocks * kLanes intervals whose midpoints
// start at mid.
template <int kBlocks>
inline void scanBlock(const double *mid, double a, double b, const double *p, const double *q,
                      int32_t n, Vector *u, Vector *score) {
    Vector o[kBlocks], t[kBlocks];
    for (int r = 0; r < kBlocks; ++r) o[r] = load(mid + r * kLanes);
    slopeBlock<kBlocks>(o, p, q, nullptr, n, t);
    for (int r = 0; r < kBlocks; ++r) u[r] = candidate(t[r], a, b);
    valueBlock<kBlocks>(u, a, b, p, q, n, score);
}

constexpr int kMaxBlocks = 4;  // independent accumulators hide the add latency
// With AVX-512's 32 registers, eight vectors at a time fit without spilling,
// and each pass over p and q serves twice the intervals: for long lists of
// intervals and many terms the scan is bound by reading p and q.
constexpr int kWideBlocks = SCAN_BYTES == 64 ? 8 : kMaxBlocks;

// Pads values[count..] up to a whole number of vectors with copies of the
// last value; returns the padded count. The padded lanes' results are
// never looked at.
inline int64_t pad(double *values, int64_t count) {
    const int64_t padded = (count + kLanes - 1) / kLanes * kLanes;
    for (int64_t j = count; j < padded; ++j) values[j] = values[count - 1];
    return padded;
}

template <int kCount>
struct Blocks {
    static constexpr int value = kCount;
};

// Runs body<blocks>(start) over [0, padded) in steps of kWideBlocks vectors
// while they last, then of up to kMaxBlocks; stops early once done() holds
// after a step.
template <typename Body, typename Done>
__attribute__((always_inline)) inline void forEachBlock(int64_t padded, Body body, Done done) {
    for (int64_t start = 0; start < padded && !done();) {
        const int64_t vectors = (padded - start) / kLanes;
        if (kWideBlocks > kMaxBlocks && vectors >= kWideBlocks) {
            body(start, Blocks<kWideBlocks>());
            start += kWideBlocks * kLanes;
            continue;
        }
        const int blocks = vectors >= kMaxBlocks ? kMaxBlocks : static_cast<int>(vectors);
        switch (blocks) {
            case 4:
                body(start, Blocks<4>());
                break;
            case 3:
                body(start, Blocks<3>());
                break;
            case 2:
                body(start, Blocks<2>());
                break;
            default:
                body(start, Blocks<1>());
                break;
        }
        start += blocks * kLanes;
    }
}
template <typename Body>
__attribute__((always_inline)) inline void forEachBlock(int64_t padded, Body body) {
    forEachBlock(padded, body, [] { return false; });
}

}  // namespace

double SCAN_NAME(double *mid, int64_t count, double a, double b, const double *p, const double *q,
                 int32_t n) {
    const int64_t padded = pad(mid, count);
    // Each lane keeps the first of its least scores below 1e100 and the
    // interval it came from, without a branch (a NaN score never compares
    // below). The lanes then give the least score, the first interval of
    // it winning ties: the first least score in interval order, as a scan
    // one interval at a time with a strict < finds it. A padded lane
    // repeats the last interval and comes after it, so it never wins.
    Vector bestValue = broadcast(1e100), bestCandidate = broadcast(1e8), bestInterval = {};
    Vector lane;
    for (int i = 0; i < kLanes; ++i) lane[i] = i;
    forEachBlock(
        padded,
        [&](int64_t start, auto blocks) {
            constexpr int kBlocks = decltype(blocks)::value;
            Vector u[kBlocks], score[kBlocks];
            scanBlock<kBlocks>(mid + start, a, b, p, q, n, u, score);
            for (int r = 0; r < kBlocks; ++r) {
                const auto better = score[r] < bestValue;
                bestValue = better ? score[r] : bestValue;
                bestCandidate = better ? u[r] : bestCandidate;
                bestInterval = better ? broadcast(static_cast<double>(start + r * kLanes)) + lane
                                      : bestInterval;
            }
        },
        [&] {
            // Nothing scores below -Inf: once a lane holds it, every interval
            // before it has been scored and no later one can win.
            bool lowest = false;
            for (int i = 0; i < kLanes; ++i) lowest |= bestValue[i] == -__builtin_inf();
            return lowest;
        });
    double value = bestValue[0], result = bestCandidate[0], interval = bestInterval[0];
    for (int i = 1; i < kLanes; ++i) {
        if (bestValue[i] < value || (bestValue[i] == value && bestInterval[i] < interval)) {
            value = bestValue[i];
            result = bestCandidate[i];
            interval = bestInterval[i];
        }
    }
    return result;
}

// Many terms are taken a chunk at a time for every interval, the sums kept
// in memory between chunks: each term is then read from memory once and
// from the nearest cache for every further block of intervals, instead of
// from memory once per block. The terms of each interval are still added
// in order, so no result changes.
constexpr int32_t kTermsPerChunk = 1024;

namespace {

// The slopes, with signs where they are given (addSlopesOf).
void slopesOf(double *mid, int64_t count, const double *p, const double *q,
              const unsigned char *signs, int32_t n, double *t) {
    const int64_t padded = pad(mid, count);
    if (n <= kTermsPerChunk) {
        forEachBlock(padded, [&](int64_t start, auto blocks) {
            constexpr int kBlocks = decltype(blocks)::value;
            Vector o[kBlocks], slope[kBlocks];
            for (int r = 0; r < kBlocks; ++r) o[r] = load(mid + start + r * kLanes);
            slopeBlock<kBlocks>(o, p, q, signs, n, slope);
            __builtin_memcpy(t + start, slope, sizeof slope);
        });
        return;
    }
    for (int64_t j = 0; j < padded; ++j) t[j] = 0.0;
    for (int32_t first = 0; first < n; first += kTermsPerChunk) {
        const int32_t last = n - first > kTermsPerChunk ? first + kTermsPerChunk : n;
        forEachBlock(padded, [&](int64_t start, auto blocks) {
            constexpr int kBlocks = decltype(blocks)::value;
            Vector o[kBlocks], slope[kBlocks];
            for (int r = 0; r < kBlocks; ++r) {
                o[r] = load(mid + start + r * kLanes);
                slope[r] = load(t + start + r * kLanes);
            }
            addSlopesOf<kBlocks>(o, p, q, signs, first, last, slope);
            __builtin_memcpy(t + start, slope, sizeof slope);
        });
    }
}

}  // namespace

void SCAN_JOIN(SCAN_NAME, Slopes)(double *mid, int64_t count, const double *p, const double *q,
                                  int32_t n, double *t) {
    slopesOf(mid, count, p, q, nullptr, n, t);
}

void SCAN_JOIN(SCAN_NAME, SignedSlopes)(double *mid, int64_t count, const double *p,
                                        const double *q, const unsigned char *signs, int32_t n,
                                        double *t) {
    slopesOf(mid, count, p, q, signs, n, t);
}

void SCAN_JOIN(SCAN_NAME, Values)(double *u, int64_t count, double a, double b, const double *p,
                                  const double *q, int32_t n, double *score) {
    const int64_t padded = pad(u, count);
    if (n <= kTermsPerChunk) {
        forEachBlock(padded, [&](int64_t start, auto blocks) {
            constexpr int kBlocks = decltype(blocks)::value;
            Vector candidate[kBlocks], value[kBlocks];
            for (int r = 0; r < kBlocks; ++r) candidate[r] = load(u + start + r * kLanes);
            valueBlock<kBlocks>(candidate, a, b, p, q, n, value);
            __builtin_memcpy(score + start, value, sizeof value);
        });
        return;
    }
    // score holds the sums until the last chunk is in.
    for (int64_t j = 0; j < padded; ++j) score[j] = 0.0;
    for (int32_t first = 0; first < n; first += kTermsPerChunk) {
        const int32_t last = n - first > kTermsPerChunk ? first + kTermsPerChunk : n;
        forEachBlock(padded, [&](int64_t start, auto blocks) {
            constexpr int kBlocks = decltype(blocks)::value;
            Vector candidate[kBlocks], sum[kBlocks];
            for (int r = 0; r < kBlocks; ++r) {
                candidate[r] = load(u + start + r * kLanes);
                sum[r] = load(score + start + r * kLanes);
            }
            addSums<kBlocks>(candidate, p, q, first, last, sum);
            __builtin_memcpy(score + start, sum, sizeof sum);
        });
    }
    forEachBlock(padded, [&](int64_t start, auto blocks) {
        constexpr int kBlocks = decltype(blocks)::value;
        Vector candidate[kBlocks], sum[kBlocks], value[kBlocks];
        for (int r = 0; r < kBlocks; ++r) {
            candidate[r] = load(u + start + r * kLanes);
            sum[r] = load(score + start + r * kLanes);
        }
        scoresOf<kBlocks>(candidate, a, b, sum, value);
        __builtin_memcpy(score + start, value, sizeof value);
    });
}

}  // namespace tarvenloch
