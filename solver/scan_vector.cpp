// The interval scan, many intervals at a time: one interval per vector lane.
//
// Compiled once per instruction set, with SCAN_NAME naming the entry point
// and SCAN_BYTES the vector width. Each lane performs exactly the operations
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

namespace tarvenloch {
namespace {

constexpr int kLanes = SCAN_BYTES / 8;
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

// Candidates and scores of the kBlocks * kLanes intervals whose midpoints
// start at mid.
template <int kBlocks>
inline void scanBlock(const double *mid, double a, double b, const double *p, const double *q,
                      int32_t n, double *candidates, double *scores) {
    const Vector zero = {};
    Vector o[kBlocks], t[kBlocks], u[kBlocks], v[kBlocks];
    for (int r = 0; r < kBlocks; ++r) {
        o[r] = load(mid + r * kLanes);
        t[r] = zero;
        v[r] = zero;
    }
    // t = t + p where p * o + q >= 0, else t - p (written t + -p, the same
    // IEEE operation); a NaN fails the comparison and takes -p.
    for (int32_t k = 0; k < n; ++k) {
        const Vector pk = broadcast(p[k]);
        const Vector qk = broadcast(q[k]);
        const Vector minusPk = -pk;
        for (int r = 0; r < kBlocks; ++r) {
            const Vector product = pk * o[r];
            const Vector x = product + qk;
            t[r] = t[r] + (x >= zero ? pk : minusPk);
        }
    }
    const Vector av = broadcast(a);
    const Vector bv = broadcast(b);
    for (int r = 0; r < kBlocks; ++r) {
        const Vector product = t[r] * bv;
        u[r] = product + av;
    }
    // v = v + y where y >= 0, else v - y, written v + |y|: the two differ
    // only for y = -0.0, where v + -0.0 and v + +0.0 are equal because v is
    // never -0.0 (it starts at +0.0 and only grows), and in NaN payloads,
    // which never reach a result since a NaN score never wins.
    const Vector magnitude = (Vector)(~(VectorBits)broadcast(-0.0));
    for (int32_t k = 0; k < n; ++k) {
        const Vector pk = broadcast(p[k]);
        const Vector qk = broadcast(q[k]);
        for (int r = 0; r < kBlocks; ++r) {
            const Vector product = u[r] * pk;
            const Vector y = product + qk;
            v[r] = v[r] + (Vector)((VectorBits)y & (VectorBits)magnitude);
        }
    }
    const Vector half = broadcast(0.5);
    for (int r = 0; r < kBlocks; ++r) {
        const Vector d = u[r] - av;
        const Vector quadratic = (d * half) * d;
        const Vector weighted = v[r] * bv;
        const Vector score = quadratic - weighted;
        __builtin_memcpy(candidates + r * kLanes, &u[r], sizeof(Vector));
        __builtin_memcpy(scores + r * kLanes, &score, sizeof(Vector));
    }
}

constexpr int kMaxBlocks = 4;  // independent accumulators hide the add latency

}  // namespace

double SCAN_NAME(double *mid, int64_t count, double a, double b, const double *p, const double *q,
                 int32_t n) {
    // Pad the last vector with copies of the last midpoint; the padded lanes'
    // results are never looked at.
    const int64_t padded = (count + kLanes - 1) / kLanes * kLanes;
    for (int64_t j = count; j < padded; ++j) mid[j] = mid[count - 1];

    double bestValue = 1e100;
    double bestCandidate = 1e8;
    double candidates[kMaxBlocks * kLanes];
    double scores[kMaxBlocks * kLanes];
    for (int64_t start = 0; start < count;) {
        const int64_t vectors = (padded - start) / kLanes;
        const int blocks = vectors >= kMaxBlocks ? kMaxBlocks : static_cast<int>(vectors);
        switch (blocks) {
            case 4:
                scanBlock<4>(mid + start, a, b, p, q, n, candidates, scores);
                break;
            case 3:
                scanBlock<3>(mid + start, a, b, p, q, n, candidates, scores);
                break;
            case 2:
                scanBlock<2>(mid + start, a, b, p, q, n, candidates, scores);
                break;
            default:
                scanBlock<1>(mid + start, a, b, p, q, n, candidates, scores);
                break;
        }
        // In interval order, strictly: the leftmost of equal scores stays and
        // a NaN score never wins.
        const int64_t end = start + blocks * kLanes < count ? start + blocks * kLanes : count;
        for (int64_t j = start; j < end; ++j) {
            if (scores[j - start] < bestValue) {
                bestValue = scores[j - start];
                bestCandidate = candidates[j - start];
            }
        }
        start += blocks * kLanes;
    }
    return bestCandidate;
}

}  // namespace tarvenloch
