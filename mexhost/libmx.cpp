// The stand-in for MATLAB's matrix library: a tiny array model behind the
// functions of the C Matrix API that the gateway uses.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "mexhost.h"

struct mxArray_tag {
    mexhostClass cls;
    size_t rows, columns;
    bool complex, sparse;
    std::vector<double> real, imaginary;
};

namespace {
std::atomic<long> liveArrays{0};
}

extern "C" {

mxArray *mexhostCreateArray(mexhostClass cls, size_t rows, size_t columns, bool complex,
                            bool sparse) {
    auto *array = new mxArray{cls, rows, columns, complex, sparse, {}, {}};
    array->real.assign(rows * columns, 0.0);
    if (complex) array->imaginary.assign(rows * columns, 0.0);
    ++liveArrays;
    return array;
}

double *mexhostValues(mxArray *array) { return array->real.data(); }

void mexhostSize(const mxArray *array, size_t *rows, size_t *columns) {
    *rows = array->rows;
    *columns = array->columns;
}

void mexhostDestroyArray(mxArray *array) {
    if (array == nullptr) return;
    --liveArrays;
    delete array;
}

long mexhostLiveArrays(void) { return liveArrays.load(); }

// MATLAB reads a sparse array's first stored (non-zero) element, and 0 when
// it stores none; the stand-in keeps every element, so it skips the zeros.
double mxGetScalar(const mxArray *array) {
    for (double value : array->real) {
        if (!array->sparse || value != 0) return value;  // NaN is stored: it is non-zero
    }
    return 0.0;
}

double *mxGetPr(const mxArray *array) {
    // MATLAB gives no real double data for arrays of other classes.
    if (array->cls != mexhostDouble) return nullptr;
    return const_cast<double *>(array->real.data());
}

mxArray *mxCreateDoubleMatrix_730(size_t rows, size_t columns, mxComplexity flag) {
    return mexhostCreateArray(mexhostDouble, rows, columns, flag == mxCOMPLEX, false);
}

size_t mxGetNumberOfElements(const mxArray *array) { return array->rows * array->columns; }
bool mxIsDouble(const mxArray *array) { return array->cls == mexhostDouble; }
bool mxIsComplex(const mxArray *array) { return array->complex; }
bool mxIsSparse(const mxArray *array) { return array->sparse; }
bool mxIsNumeric(const mxArray *array) {
    return array->cls == mexhostDouble || array->cls == mexhostSingle || array->cls == mexhostInt32;
}
bool mxIsLogical(const mxArray *array) { return array->cls == mexhostLogical; }
bool mxIsEmpty(const mxArray *array) { return array->rows == 0 || array->columns == 0; }

void mexErrMsgIdAndTxt(const char *identifier, const char *format, ...) {
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    // The host catches this around mexFunction, as MATLAB unwinds to its prompt.
    throw mexhost::MexError{identifier, message};
}

}  // extern "C"
