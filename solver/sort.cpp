// The breakpoint sort: ascending order, in place. Without NaN any correct
// sort gives the sequence the sift-pass heap sort gives (up to the order of
// -0.0 and +0.0); with NaN the sift passes themselves decide the order.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "internal.h"
#include "tarvenloch.h"

namespace tarvenloch {

void siftPass(double *values, int32_t start, int32_t limit) {
    for (int32_t k = start; k >= 0; --k) {
        // 64-bit child indices: 2k + 2 must not wrap for k near 2^30.
        const int64_t left = 2 * static_cast<int64_t>(k) + 1;
        const int64_t right = left + 1;
        // The right child wins ties and unordered pairs (any NaN); with the
        // right child outside the tree the left one is taken untested.
        int64_t child = left;
        if (right < limit && !(values[left] > values[right])) child = right;
        if (values[child] > values[k]) std::swap(values[k], values[child]);
    }
}

namespace {

// Below this many values a comparison sort is cheaper than the radix
// sort's fixed cost (measured: about even at 1000 values, four times
// faster at 4000).
constexpr int32_t kMinRadixValues = 1024;
constexpr int32_t kMinWideDigitValues = 32768;

// r rounded to single precision, as bits without the sign: rounding is
// monotone, so for r >= 0, -0.0 and +infinity (never NaN) the keys order as
// the values do, merely tying more often; -0.0 and +0.0 share a key.
inline uint32_t keyOf(const KeyedBreakpoint &value) {
    const float rounded = static_cast<float>(value.r);
    uint32_t bits;
    std::memcpy(&bits, &rounded, sizeof bits);
    return bits & 0x7fffffffu;
}

bool byValue(const KeyedBreakpoint &x, const KeyedBreakpoint &y) { return x.r < y.r; }

}  // namespace

// A least-significant-digit radix sort on the single-precision keys, a
// byte at a time, skipping the bytes every key shares; then each run of
// equal keys is sorted by the value itself (runs are short unless the
// values are equal, which any sort handles fast). A comparison sort of
// many random values spends most of its time on branches it cannot
// predict; the radix passes have none.
namespace {

// The radix passes, kBits of the 31-bit key at a time, least significant
// first, skipping the digits every key shares; the result ends in values.
template <int kBits>
void radixPasses(KeyedBreakpoint *values, int32_t m, KeyedBreakpoint *spare) {
    constexpr int kDigits = (31 + kBits - 1) / kBits;
    constexpr uint32_t kBuckets = 1u << kBits;
    uint32_t table[kDigits * kBuckets] = {};  // at most 24 KB, on the stack
    for (int32_t i = 0; i < m; ++i) {
        const uint32_t key = keyOf(values[i]);
        for (int digit = 0; digit < kDigits; ++digit) {
            ++table[digit * kBuckets + ((key >> (kBits * digit)) & (kBuckets - 1))];
        }
    }
    KeyedBreakpoint *from = values, *to = spare;
    const uint32_t firstKey = keyOf(values[0]);
    for (int digit = 0; digit < kDigits; ++digit) {
        const int shift = kBits * digit;
        uint32_t *offsets = &table[digit * kBuckets];
        if (offsets[(firstKey >> shift) & (kBuckets - 1)] == static_cast<uint32_t>(m)) continue;
        uint32_t total = 0;
        for (uint32_t bucket = 0; bucket < kBuckets; ++bucket) {
            const uint32_t here = offsets[bucket];
            offsets[bucket] = total;
            total += here;
        }
        for (int32_t i = 0; i < m; ++i) {
            to[offsets[(keyOf(from[i]) >> shift) & (kBuckets - 1)]++] = from[i];
        }
        std::swap(from, to);
    }
    if (from != values) std::memcpy(values, from, static_cast<size_t>(m) * sizeof *values);
}

}  // namespace

void sortKeyedBreakpoints(KeyedBreakpoint *values, int32_t m, KeyedBreakpoint *spare) {
    if (m < kMinRadixValues) {
        std::sort(values, values + m, byValue);
        return;
    }
    // Bytes up to some 30,000 values; beyond, three passes of 11 bits beat
    // four of 8, once the larger digit counts are paid for.
    if (m < kMinWideDigitValues) {
        radixPasses<8>(values, m, spare);
    } else {
        radixPasses<11>(values, m, spare);
    }
    // Runs of equal keys, in order of the values.
    uint32_t previous = keyOf(values[0]);
    for (int32_t start = 0, i = 1; i <= m; ++i) {
        const uint32_t key = i < m ? keyOf(values[i]) : ~previous;
        if (key == previous) continue;
        if (i - start > 1) std::sort(values + start, values + i, byValue);
        start = i;
        previous = key;
    }
}

void sortBySiftPasses(double *values, int32_t m) {
    // After a full pass the range's largest value sits at index 0; each
    // extraction moves it behind the shrinking range.
    siftPass(values, m / 2 - 1, m);
    for (int32_t i = m - 1; i >= 0; --i) {
        std::swap(values[0], values[i]);
        if (i >= 2) siftPass(values, i / 2 - 1, i);
    }
}

}  // namespace tarvenloch

// Without NaN, < is a strict weak order and any O(m log m) sort yields the
// same ascending sequence as the sift passes, except that -0.0 and +0.0,
// which compare equal, may end in the other order. That cannot change a
// result of the minimiser: a zero breakpoint only gives the grid a zero of
// some sign, a midpoint o of some sign, and p * o a zero of some sign, and
// adding a zero of either sign to q leaves x >= 0 as it was. With NaN, the
// order is whatever the sift passes make of it, so they are kept for that.
extern "C" void sortBreakpoints(double *values, int32_t m) {
    if (m < 2) return;
    for (int32_t i = 0; i < m; ++i) {
        if (std::isnan(values[i])) {
            tarvenloch::sortBySiftPasses(values, m);
            return;
        }
    }
    if (m <= 16) {
        // Insertion sort, as std::sort finishes small ranges, but without
        // its call to memmove for each new least value.
        for (int32_t i = 1; i < m; ++i) {
            const double value = values[i];
            int32_t j = i;
            for (; j > 0 && value < values[j - 1]; --j) values[j] = values[j - 1];
            values[j] = value;
        }
        return;
    }
    // With a comparator of its own: libc++ keeps std::sort of doubles by
    // the default one in its shared library (an extern template), which
    // the macOS modules do not link. The same comparisons, so the same
    // order up to -0.0 and +0.0, as argued above.
    std::sort(values, values + m, [](double x, double y) { return x < y; });
}
