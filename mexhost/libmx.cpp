// The stand-in for MATLAB's matrix library, libmx: a tiny array model behind
// the mx* functions of the C Matrix API that the modules use, and the host's
// own functions for building and inspecting arrays.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mexhost.h"

struct mxArray_tag {
    mexhostClass cls;
    size_t rows, columns;
    bool complex, sparse;
    std::vector<double> real, imaginary;
    // The real values in the class's own element type, made by mxGetData.
    std::vector<unsigned char> typed;
};

namespace {
std::atomic<long> liveArrays{0};
// Conversions as MATLAB makes them: integers round and saturate, NaN gives 0.
template <typename Element>
Element convert(double value) {
    return static_cast<Element>(value);
}
template <>
float convert<float>(double value) {
    if (value > 3.4028234663852886e38) return HUGE_VALF;
    if (value < -3.4028234663852886e38) return -HUGE_VALF;
    return static_cast<float>(value);
}
template <>
int32_t convert<int32_t>(double value) {
    if (value != value) return 0;
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(std::round(value));
}
template <>
mxLogical convert<mxLogical>(double value) {
    return value != 0;
}

template <typename Element>
void *typedCopy(mxArray *array) {
    array->typed.assign(array->real.size() * sizeof(Element), 0);
    for (size_t i = 0; i < array->real.size(); ++i) {
        const Element value = convert<Element>(array->real[i]);
        std::memcpy(array->typed.data() + i * sizeof(Element), &value, sizeof value);
    }
    return array->typed.data();
}
}  // namespace

extern "C" {

mxArray *mexhostCreateArray(mexhostClass cls, size_t rows, size_t columns, bool complex,
                            bool sparse) {
    auto *array = new mxArray{cls, rows, columns, complex, sparse, {}, {}, {}};
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
// The value is the one the array's class holds, widened to double.
double mxGetScalar(const mxArray *array) {
    for (double value : array->real) {
        if (array->sparse && value == 0) continue;  // NaN is stored: it is non-zero
        switch (array->cls) {
            case mexhostSingle:
                return convert<float>(value);
            case mexhostInt32:
                return convert<int32_t>(value);
            case mexhostLogical:
                return convert<mxLogical>(value) ? 1.0 : 0.0;
            default:
                return value;
        }
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
size_t mxGetM(const mxArray *array) { return array->rows; }
size_t mxGetN(const mxArray *array) { return array->columns; }

mxClassID mxGetClassID(const mxArray *array) {
    switch (array->cls) {
        case mexhostDouble:
            return mxDOUBLE_CLASS;
        case mexhostSingle:
            return mxSINGLE_CLASS;
        case mexhostInt32:
            return mxINT32_CLASS;
        case mexhostLogical:
            return mxLOGICAL_CLASS;
        case mexhostChar:
            return mxCHAR_CLASS;
        case mexhostCell:
            return mxCELL_CLASS;
    }
    return mxUNKNOWN_CLASS;
}

void *mxGetData(const mxArray *array) {
    // The host writes doubles; the module reads the class's own type, made
    // fresh from them on every call.
    auto *mutableArray = const_cast<mxArray *>(array);
    switch (array->cls) {
        case mexhostDouble:
            return mutableArray->real.data();
        case mexhostSingle:
            return typedCopy<float>(mutableArray);
        case mexhostInt32:
            return typedCopy<int32_t>(mutableArray);
        case mexhostLogical:
            return typedCopy<mxLogical>(mutableArray);
        default:
            return nullptr;
    }
}

void mxDestroyArray(mxArray *array) { mexhostDestroyArray(array); }
bool mxIsDouble(const mxArray *array) { return array->cls == mexhostDouble; }
bool mxIsComplex(const mxArray *array) { return array->complex; }
bool mxIsSparse(const mxArray *array) { return array->sparse; }
bool mxIsNumeric(const mxArray *array) {
    return array->cls == mexhostDouble || array->cls == mexhostSingle || array->cls == mexhostInt32;
}
bool mxIsLogical(const mxArray *array) { return array->cls == mexhostLogical; }
bool mxIsEmpty(const mxArray *array) { return array->rows == 0 || array->columns == 0; }

}  // extern "C"
