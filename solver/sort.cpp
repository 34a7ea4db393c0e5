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
// sort's fixed cost. Measured on random breakpoints (Intel, AVX-512):
// std::sort is faster up to about 250 values and even at 288, then falls
// behind fast as its mispredicted branches grow (1.4x slower at 320, 3.3x
// at 384, 3.5x to 5x at 512 to 1024).
constexpr int32_t kMinRadixValues = 288;
// From this many values on, three passes of 11-bit digits beat four of
// bytes, once their larger tables are paid for (measured side by side: even
// at 2,000 values, 7 % faster at 4,000, 11 % at 8,000 to 16,000).
constexpr int32_t kMinWideDigitValues = 3072;

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
//
// With a team, the values are cut into consecutive ranges, each counted,
// and scattered, by one thread: a range's values go, in their order, after
// those of the same digit in earlier ranges, which is where the serial
// pass puts them. So each pass gives the same order, and the runs of equal
// keys, each sorted by one thread, end the same too.
namespace {

// Each range's start in each bucket, in place of its count there: after
// every earlier bucket, and after the earlier ranges' values in the same
// bucket. Range r's counts start at counts + r * stride.
inline void bucketStarts(uint32_t *counts, uint32_t buckets, size_t stride, int64_t ranges) {
    uint32_t total = 0;
    for (uint32_t bucket = 0; bucket < buckets; ++bucket) {
        for (int64_t r = 0; r < ranges; ++r) {
            uint32_t &offset = counts[r * stride + bucket];
            const uint32_t here = offset;
            offset = total;
            total += here;
        }
    }
}

// The radix passes, kBits of the 31-bit key at a time, least significant
// first, skipping the digits every key shares; the result ends in values.
// tables holds ranges.count tables of counts.
template <int kBits>
void radixPasses(KeyedBreakpoint *values, int32_t m, KeyedBreakpoint *spare, Team *team,
                 const Ranges &ranges, uint32_t *tables) {
    constexpr int kDigits = (31 + kBits - 1) / kBits;
    constexpr uint32_t kBuckets = 1u << kBits;
    constexpr size_t kTable = kDigits * kBuckets;
    forEachRange(team, ranges, [&](int64_t r, int64_t first, int64_t last) {
        uint32_t *table = tables + r * kTable;
        std::fill(table, table + kTable, 0u);
        for (int64_t i = first; i < last; ++i) {
            const uint32_t key = keyOf(values[i]);
            for (int digit = 0; digit < kDigits; ++digit) {
                ++table[digit * kBuckets + ((key >> (kBits * digit)) & (kBuckets - 1))];
            }
        }
    });
    KeyedBreakpoint *from = values, *to = spare;
    const uint32_t firstKey = keyOf(values[0]);
    bool moved = false;
    for (int digit = 0; digit < kDigits; ++digit) {
        const int shift = kBits * digit;
        const size_t at = digit * kBuckets;
        uint32_t shared = 0;
        for (int64_t r = 0; r < ranges.count; ++r)
            shared += tables[r * kTable + at + ((firstKey >> shift) & (kBuckets - 1))];
        if (shared == static_cast<uint32_t>(m)) continue;
        // Once a pass has moved the values, a range's counts are those of
        // other values: count this digit again (the totals stay as they are).
        if (moved && ranges.count > 1) {
            forEachRange(team, ranges, [&](int64_t r, int64_t first, int64_t last) {
                uint32_t *counts = tables + r * kTable + at;
                std::fill(counts, counts + kBuckets, 0u);
                for (int64_t i = first; i < last; ++i)
                    ++counts[(keyOf(from[i]) >> shift) & (kBuckets - 1)];
            });
        }
        bucketStarts(tables + at, kBuckets, kTable, ranges.count);
        forEachRange(team, ranges, [&](int64_t r, int64_t first, int64_t last) {
            uint32_t *offsets = tables + r * kTable + at;
            for (int64_t i = first; i < last; ++i) {
                to[offsets[(keyOf(from[i]) >> shift) & (kBuckets - 1)]++] = from[i];
            }
        });
        std::swap(from, to);
        moved = true;
    }
    if (from != values) {
        forEachRange(team, ranges, [&](int64_t, int64_t first, int64_t last) {
            std::memcpy(values + first, from + first,
                        static_cast<size_t>(last - first) * sizeof *values);
        });
    }
}

// The first index at or after i where a run of equal keys starts.
int64_t runStart(const KeyedBreakpoint *values, int64_t m, int64_t i) {
    while (i > 0 && i < m && keyOf(values[i]) == keyOf(values[i - 1])) ++i;
    return i;
}

// Sorts by value each run of equal keys in [first, last), where runs start
// at first and at last.
void sortRuns(KeyedBreakpoint *values, int64_t first, int64_t last) {
    for (int64_t start = first; start < last;) {
        const uint32_t key = keyOf(values[start]);
        int64_t end = start + 1;
        while (end < last && keyOf(values[end]) == key) ++end;
        if (end - start > 1) std::sort(values + start, values + end, byValue);
        start = end;
    }
}

}  // namespace

uint64_t sortTableBytes(int32_t m) {
    return m < kMinWideDigitValues ? 4 * 256 * sizeof(uint32_t) : 3 * 2048 * sizeof(uint32_t);
}

void sortKeyedBreakpoints(KeyedBreakpoint *values, int32_t m, KeyedBreakpoint *spare, Team *team,
                          void *tables, uint64_t tableBytes) {
    if (m < kMinRadixValues) {
        std::sort(values, values + m, byValue);
        return;
    }
    // One range, with its table on the stack, unless a team and room for a
    // table a range are given.
    alignas(64) uint32_t table[3 * 2048];  // the larger of the two tables, 24 KB
    const int64_t most = team == nullptr || tables == nullptr
                             ? 1
                             : std::min<int64_t>(4 * team->threads, tableBytes / sortTableBytes(m));
    const int64_t count = std::max<int64_t>(1, std::min<int64_t>(most, m / 512));
    const Ranges ranges = Ranges::even(m, count);
    uint32_t *counts = count == 1 ? table : static_cast<uint32_t *>(tables);
    // Bytes up to some 3,000 values; beyond, three passes of 11 bits beat
    // four of 8, once the larger digit counts are paid for.
    if (m < kMinWideDigitValues) {
        radixPasses<8>(values, m, spare, count == 1 ? nullptr : team, ranges, counts);
    } else {
        radixPasses<11>(values, m, spare, count == 1 ? nullptr : team, ranges, counts);
    }
    // Runs of equal keys, in order of the values. With a team, each range
    // first finds where its first run starts, reading only; then it sorts
    // the runs from there to where the next range's first run starts, so
    // that no run is read by one thread while another sorts it.
    constexpr int64_t kMostRuns = 64;
    const Ranges runs = Ranges::even(
        m, team == nullptr ? 1 : std::max<int64_t>(1, std::min<int64_t>(kMostRuns, m / 256)));
    int64_t starts[kMostRuns + 1];
    forEachRange(team, runs, [&](int64_t r, int64_t first, int64_t) {
        starts[r] = runStart(values, m, first);
    });
    starts[runs.count] = m;
    forEachPiece(team, runs.count, [&](int64_t r) {
        sortRuns(values, starts[r], std::max(starts[r], starts[r + 1]));
    });
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
