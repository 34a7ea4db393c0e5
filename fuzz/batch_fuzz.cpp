// Fuzzes the batch module's gateway through the stand-in host: random
// argument lists of any count, class, shape, complexity and sparsity, with
// one or more problems. Every call must either raise a tarvenloch:* error
// with no output made, or return 1-by-K results that are each the single
// solver's result for that problem's inputs; no array may be left behind.
#include <cstdint>
#include <cstring>
#include <vector>

#include "input.h"
#include "inputs.h"
#include "mexhost.h"
#include "tarvenloch.h"

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
