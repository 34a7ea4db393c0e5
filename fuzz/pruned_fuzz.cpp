// Fuzzes the pruned path: problems from the fuzzer's bytes, solved with
// pruning forced (and with the full scan), must agree with the literal
// computation to the bit at every size, the smallest included. Values lean
// towards what the pruning's bound must survive: ties, repeated kinks,
// huge and tiny magnitudes, subnormals, and values at the thresholds.
#include <cstdint>
#include <cstring>
#include <vector>

#include "input.h"
#include "internal.h"
#include "reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t shape = input.byte();
    const double a = input.value();
    const double b = input.value();
    // Half the inputs repeat a few terms many times over, scaled: exact ties
    // and coinciding kinks, at sizes past the automatic switch to pruning.
    const bool repeated = shape & 0x80;
    const int32_t n = repeated ? 80 + (shape & 0x3f) : shape % 48;
    std::vector<double> p(n), q(n);
    if (repeated) {
        double baseP[4], baseQ[4];
        for (int i = 0; i < 4; ++i) {
            baseP[i] = input.value();
            baseQ[i] = input.value();
        }
        for (int32_t k = 0; k < n; ++k) {
            const int which = k % 4;
            const double scale = 1 + (k / 4) % 5;  // exact small multiples
            p[k] = baseP[which] * scale;
            q[k] = baseQ[which] * ((k / 20) % 2 ? scale : 1);
        }
    } else {
        for (int32_t k = 0; k < n; ++k) {
            p[k] = input.value();
            q[k] = input.value();
        }
    }

    const double expected = reference::minimize(a, b, p.data(), q.data(), n);
    const tarvenloch::ScanLevel best = tarvenloch::selectedScanLevel();
    tarvenloch::Workspace workspace;
    for (tarvenloch::Strategy strategy :
         {tarvenloch::Strategy::Pruned, tarvenloch::Strategy::PrunedCarried,
          tarvenloch::Strategy::FullScan}) {
        for (tarvenloch::ScanLevel level : {tarvenloch::ScanLevel::Portable, best}) {
            double u = 0;
            if (!tarvenloch::minimize({level, strategy}, workspace, &u, a, b, p.data(), q.data(),
                                      n)) {
                __builtin_trap();
            }
            if (std::memcmp(&u, &expected, sizeof u) != 0) __builtin_trap();
        }
    }
    return 0;
}
