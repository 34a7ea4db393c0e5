// Fuzzes the batch module's gateway through the stand-in host: random
// argument lists of any count, class, shape, complexity and sparsity, with
// one or more problems. Every call must either raise a tarvenloch:* error
// with no output made, or return 1-by-K results that are each the single
// solver's result for that problem's inputs; no array may be left behind.
//
// Built with LARGE_PROBLEMS (batch_fuzz_large), it fuzzes the batch itself
// with a few large problems among some small ones, each large one's work
// shared among the threads whatever its size: every result must still be
// the single call's, on any number of threads.
#include <cstdint>
#include <cstring>
#include <vector>

#include "input.h"
#include "tarvenloch.h"

#if defined(LARGE_PROBLEMS)

#include "batch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    const int threads = 1 + input.byte() % 8;
    const int large = 1 + input.byte() % 3, small = input.byte() % 8;
    // Column i of P and Q holds problem i: the large ones first, each of up
    // to 2,000 terms grown from a few of the fuzzer's values (scaled by
    // exact small multiples, so that kinks coincide and scores tie), then
    // the small ones, of up to 8 terms each.
    constexpr int32_t kRows = 2000;
    const int count = large + small;
    std::vector<double> a(count), b(count), P(static_cast<size_t>(count) * kRows), Q(P.size());
    std::vector<int32_t> n(count);
    for (int i = 0; i < count; ++i) {
        a[i] = input.value();
        b[i] = input.value();
        n[i] = i < large ? 52 + (input.byte() << 3 | input.byte() % 8) % (kRows - 51)
                         : input.byte() % 9;
        double baseP[4], baseQ[4];
        for (int j = 0; j < 4; ++j) {
            baseP[j] = input.value();
            baseQ[j] = input.value();
        }
        double *p = &P[static_cast<size_t>(i) * kRows], *q = &Q[static_cast<size_t>(i) * kRows];
        for (int32_t k = 0; k < n[i]; ++k) {
            const double scale = 1 + (k / 4) % 7;
            p[k] = baseP[k % 4] * scale + (k % 5 == 4 ? k : 0);
            q[k] = baseQ[k % 4] * ((k / 12) % 2 ? scale : 1) - (k % 3 == 2 ? k : 0);
        }
    }
    std::vector<double> results(count);
    const tarvenloch::BatchInput batch{results.data(), count, a.data(), 1,     b.data(), 1,
                                       P.data(),       kRows, Q.data(), kRows, n.data(), 1};
    if (!tarvenloch::solveBatchOnThreads(batch, threads, tarvenloch::Split::Always))
        __builtin_trap();
    for (int i = 0; i < count; ++i) {
        double expected = 0;
        minimizeOverBreakpoints(&expected, a[i], b[i], &P[static_cast<size_t>(i) * kRows],
                                &Q[static_cast<size_t>(i) * kRows], n[i]);
        if (std::memcmp(&expected, &results[i], sizeof expected) != 0) __builtin_trap();
    }
    return 0;
}

#else

#include "inputs.h"
#include "mexhost.h"

namespace {

mxArray *makeArray(FuzzInput &input) {
    const uint8_t kind = input.byte();
    const auto cls = static_cast<mexhostClass>(kind % 6);
    // Mostly scalars, columns and small matrices whose counts agree.
    const size_t rows = (kind >> 3) % 3 == 0 ? 1 : input.byte() % 6;
    const size_t columns = (kind >> 5) % 2 == 0 ? 1 : input.byte() % 5;
    mxArray *array = mexhostCreateArray(cls, rows, columns, kind & 0x40, kind & 0x80);
    for (size_t i = 0; i < rows * columns; ++i) mexhostValues(array)[i] = input.value();
    return array;
}

// Element i of a, b or n, or its only element, as the module must read it.
double element(const mxArray *array, size_t i) {
    if (mxGetNumberOfElements(array) == 1) return mxGetScalar(array);
    const void *data = mxGetData(array);
    switch (mxGetClassID(array)) {
        case mxDOUBLE_CLASS:
            return static_cast<const double *>(data)[i];
        case mxSINGLE_CLASS:
            return static_cast<const float *>(data)[i];
        case mxINT32_CLASS:
            return static_cast<const int32_t *>(data)[i];
        case mxLOGICAL_CLASS:
            return static_cast<const mxLogical *>(data)[i] ? 1 : 0;
        default:
            __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    const long before = mexhostLiveArrays();
    const int nlhs = input.byte() % 3;
    const int nrhs = 3 + input.byte() % 5;
    std::vector<mxArray *> inputs;
    for (int i = 0; i < nrhs; ++i) inputs.push_back(makeArray(input));

    std::vector<mxArray *> outputs(nlhs > 1 ? nlhs : 1, nullptr);
    std::vector<const mxArray *> arguments(inputs.begin(), inputs.end());
    bool failed = false;
    try {
        mexFunction(nlhs, outputs.data(), nrhs, arguments.data());
    } catch (const mexhost::MexError &error) {
        failed = true;
        if (error.identifier.rfind("tarvenloch:", 0) != 0) __builtin_trap();
        // A failed call leaves no output behind.
        if (outputs[0] != nullptr) __builtin_trap();
    }
    if (!failed) {
        if (nrhs < 5 || nrhs > 6 || nlhs > 1 || outputs[0] == nullptr) __builtin_trap();
        const mxArray *a = inputs[0], *b = inputs[1], *P = inputs[2], *Q = inputs[3],
                      *n = inputs[4];
        if (!tarvenloch_mex::realFullDouble(P) || !tarvenloch_mex::realFullDouble(Q))
            __builtin_trap();
        const mxArray *U = outputs[0];
        if (!tarvenloch_mex::realFullDouble(U) || mxGetM(U) != 1) __builtin_trap();
        const size_t K = mxGetN(U);
        const size_t counts[] = {mxGetNumberOfElements(a), mxGetNumberOfElements(b), mxGetN(P),
                                 mxGetN(Q), mxGetNumberOfElements(n)};
        for (size_t count : counts) {
            if (count != 1 && count != K) __builtin_trap();
        }
        for (size_t i = 0; i < K; ++i) {
            const auto pick = [&](size_t count) { return count == 1 ? 0 : i; };
            const int32_t terms = tarvenloch_mex::termCount(element(n, pick(counts[4])));
            if (terms > 0 && (mxGetM(P) < static_cast<size_t>(terms) ||
                              mxGetM(Q) < static_cast<size_t>(terms))) {
                __builtin_trap();
            }
            double expected = 0;
            minimizeOverBreakpoints(&expected, element(a, pick(counts[0])),
                                    element(b, pick(counts[1])),
                                    mxGetPr(P) + pick(counts[2]) * mxGetM(P),
                                    mxGetPr(Q) + pick(counts[3]) * mxGetM(Q), terms);
            const double got = mxGetPr(U)[i];
            if (std::memcmp(&expected, &got, sizeof got) != 0) __builtin_trap();
        }
    }
    for (mxArray *array : outputs) mexhostDestroyArray(array);
    for (mxArray *array : inputs) mexhostDestroyArray(array);
    if (mexhostLiveArrays() != before) __builtin_trap();
    return 0;
}

#endif
