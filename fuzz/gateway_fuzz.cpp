// Fuzzes the gateway through the stand-in host: random argument lists of any
// count, class, size, complexity and sparsity. Every call must either raise
// a tarvenloch:* error or return the solver's own result for its inputs, and
// leave no array behind; AddressSanitizer catches any read past an array.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "input.h"
#include "mexhost.h"
#include "tarvenloch.h"

namespace {

mxArray *makeArray(FuzzInput &input) {
    const uint8_t kind = input.byte();
    const auto cls = static_cast<mexhostClass>(kind % 6);
    const size_t rows = (kind >> 3) % 3 == 0 ? 1 : input.byte() % 5;
    const size_t columns = input.byte() % 9;
    mxArray *array = mexhostCreateArray(cls, rows, columns, kind & 0x40, kind & 0x80);
    for (size_t i = 0; i < rows * columns; ++i) mexhostValues(array)[i] = input.value();
    return array;
}

bool realFullDouble(const mxArray *array) {
    return mxIsDouble(array) && !mxIsComplex(array) && !mxIsSparse(array);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    const long before = mexhostLiveArrays();
    const int nlhs = input.byte() % 3;
    const int nrhs = input.byte() % 8;
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
    }
    if (!failed) {
        // A call that went through had valid inputs and gives the solver's result.
        if (nrhs < 5 || nlhs > 1 || outputs[0] == nullptr) __builtin_trap();
        if (!realFullDouble(inputs[2]) || !realFullDouble(inputs[3])) __builtin_trap();
        if (!realFullDouble(outputs[0]) || mxGetNumberOfElements(outputs[0]) != 1) __builtin_trap();
        const double nValue = mxGetScalar(inputs[4]);
        int32_t n = INT32_MIN;
        if (nValue > -2147483649.0 && nValue < 2147483648.0) n = static_cast<int32_t>(nValue);
        if (n > 0 && (mxGetNumberOfElements(inputs[2]) < static_cast<size_t>(n) ||
                      mxGetNumberOfElements(inputs[3]) < static_cast<size_t>(n))) {
            __builtin_trap();
        }
        double expected = 0;
        minimizeOverBreakpoints(&expected, mxGetScalar(inputs[0]), mxGetScalar(inputs[1]),
                                mxGetPr(inputs[2]), mxGetPr(inputs[3]), n);
        const double got = mxGetScalar(outputs[0]);
        if (std::memcmp(&expected, &got, sizeof got) != 0) __builtin_trap();
    } else if (outputs[0] != nullptr && nrhs >= 5 && nlhs <= 1) {
        // Only running out of memory fails after the output exists.
        __builtin_trap();
    }
    for (mxArray *array : outputs) mexhostDestroyArray(array);
    for (mxArray *array : inputs) mexhostDestroyArray(array);
    if (mexhostLiveArrays() != before) __builtin_trap();
    return 0;
}
