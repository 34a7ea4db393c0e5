// Fuzzes the solver: every scan level the machine has (the one the public
// entry point picks among them) must agree with the
// literal computation to the bit, and nothing may read past n elements (the
// arrays are allocated with exactly n, so AddressSanitizer sees any over-read).
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>

#include "input.h"
#include "internal.h"
#include "reference.h"
#include "tarvenloch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t shape = input.byte();
    const double a = input.value();
    const double b = input.value();

    int32_t n = 0;
    std::unique_ptr<double[]> p, q;
#if defined(SMALL_PROBLEMS_ONLY)
    // The fast mode: at most 16 terms, so that the literal computation the
    // results are checked against costs little and most time goes on the
    // solver's own paths and their edge cases.
    if (false) {
#else
    if (shape >= 0xf0) {
#endif
        // Many terms from a seeded generator, with the fuzzer's values mixed
        // in: reaches heap scratch and the dropping of repeated intervals.
        n = 260 + (shape & 0x0f);  // at least 521 grid intervals
        p.reset(new double[n]);
        q.reset(new double[n]);
        std::mt19937_64 rng(input.byte());
        std::uniform_int_distribution<int> small(1, 40);
        for (int32_t k = 0; k < n; ++k) {
            p[k] = small(rng) * (k % 2 ? 0.125 : -0.125);
            q[k] = (small(rng) - 20) * 0.5;
        }
        for (int32_t k = 0; !input.empty(); k = (k + 1 + input.byte()) % n) {
            p[k] = input.value();
            q[k] = input.value();
        }
    } else {
#if defined(SMALL_PROBLEMS_ONLY)
        n = shape % 17;
#else
        n = shape % 64;
#endif
        const bool negative = n >= 60;  // n <= 0 must read nothing at all
        if (negative) n = 0;
        p.reset(new double[n]);
        q.reset(new double[n]);
        for (int32_t k = 0; k < n; ++k) {
            p[k] = input.value();
            q[k] = input.value();
        }
        if (negative) n = -static_cast<int32_t>(shape);
    }

    const double expected = reference::minimize(a, b, p.get(), q.get(), n);
    uint64_t want, got;
    std::memcpy(&want, &expected, sizeof want);
    double u = 0;
    // Many terms cost the most; there the public entry point's level will do.
    const int firstLevel = n > 64 ? static_cast<int>(tarvenloch::selectedScanLevel()) : 0;
    for (int level = firstLevel; level <= 3; ++level) {
        const auto scanLevel = static_cast<tarvenloch::ScanLevel>(level);
        if (!tarvenloch::scanLevelSupported(scanLevel)) continue;
        if (!tarvenloch::minimizeWithScan(scanLevel, &u, a, b, p.get(), q.get(), n))
            __builtin_trap();
        std::memcpy(&got, &u, sizeof got);
        if (got != want) __builtin_trap();
    }
    return 0;
}
