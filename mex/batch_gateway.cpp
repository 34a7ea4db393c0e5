// The MEX gateway of the batch: U = tarvenloch_batch(a, b, P, Q, n, threads).
//
// K problems in one call. a, b and n hold one value for every problem or one
// per problem; P and Q one column for every problem or one per problem. Each
// U(i) is what tarvenloch(a(i), b(i), P(:,i), Q(:,i), n(i)) returns.
//
// Every input is checked before anything is allocated or solved. The worker
// threads run inside minimizeBatch and never touch the host's arrays or
// functions; errors are raised here, after they have all finished, and only
// once everything this call allocated has been freed, since the host
// unwinds or jumps through this frame. Messages leave the function's name
// to the host, as the single module's do.
#include <cstdint>
#include <cstdlib>

#include "batch.h"
#include "export.h"
#include "inputs.h"
#include "mex.h"
#include "tarvenloch.h"

namespace {

using tarvenloch_mex::termCount;

const char *const kInputNames[] = {"a (1st input)", "b (2nd input)", "P (3rd input)",
                                   "Q (4th input)", "n (5th input)", "threads (6th input)"};

// The elements of a numeric or logical array as doubles, read from the
// real part. A one-element array is read with mxGetScalar, as the single
// module reads it (for a sparse array: its first non-zero element).
class Elements {
public:
    explicit Elements(const mxArray *input)
        : data_(mxGetData(input)),
          class_(mxGetClassID(input)),
          one_(mxGetNumberOfElements(input) == 1),
          scalar_(one_ ? mxGetScalar(input) : 0.0) {}

    double operator[](size_t i) const {
        if (one_) return scalar_;
        switch (class_) {
            case mxDOUBLE_CLASS:
                return static_cast<const double *>(data_)[i];
            case mxSINGLE_CLASS:
                return static_cast<const float *>(data_)[i];
            case mxINT8_CLASS:
                return static_cast<const int8_t *>(data_)[i];
            case mxUINT8_CLASS:
                return static_cast<const uint8_t *>(data_)[i];
            case mxINT16_CLASS:
                return static_cast<const int16_t *>(data_)[i];
            case mxUINT16_CLASS:
                return static_cast<const uint16_t *>(data_)[i];
            case mxINT32_CLASS:
                return static_cast<const int32_t *>(data_)[i];
            case mxUINT32_CLASS:
                return static_cast<const uint32_t *>(data_)[i];
            case mxINT64_CLASS:
                return static_cast<double>(static_cast<const int64_t *>(data_)[i]);
            case mxUINT64_CLASS:
                return static_cast<double>(static_cast<const uint64_t *>(data_)[i]);
            case mxLOGICAL_CLASS:
                return static_cast<const mxLogical *>(data_)[i] ? 1.0 : 0.0;
            default:
                return 0.0;  // not reached: the class was checked
        }
    }

private:
    const void *data_;
    mxClassID class_;
    bool one_;
    double scalar_;
};

// a, b and n: numeric or logical. With more than one element they must be
// full, since their elements are read one by one in storage order.
void requireValues(const mxArray *input, int position) {
    if (!tarvenloch_mex::numericOrLogical(input)) {
        mexErrMsgIdAndTxt("tarvenloch:invalidScalar", "%s must be numeric or logical.",
                          kInputNames[position]);
    }
    if (mxIsSparse(input) && mxGetNumberOfElements(input) > 1) {
        mexErrMsgIdAndTxt("tarvenloch:invalidScalar",
                          "%s must be full (not sparse) when it holds one value per problem.",
                          kInputNames[position]);
    }
}

void requireCoefficients(const mxArray *input, int position) {
    if (!tarvenloch_mex::realFullDouble(input)) {
        mexErrMsgIdAndTxt("tarvenloch:invalidCoefficients",
                          "%s must be a real, full (not sparse) double matrix.",
                          kInputNames[position]);
    }
}

// threads: a real positive whole number. Counts past the 32-bit range ask
// for as many threads as the batch can use, as any large count does.
int32_t threadCount(const mxArray *input) {
    double value = 0;
    const bool valid = mxIsNumeric(input) && !mxIsComplex(input) &&
                       mxGetNumberOfElements(input) == 1 &&
                       (value = mxGetScalar(input), value >= 1 && value == std::floor(value));
    if (!valid) {
        mexErrMsgIdAndTxt("tarvenloch:invalidThreads",
                          "threads (6th input) must be a positive whole number.");
    }
    return value >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(value);
}

// One input's values for the solver: a pointer and a stride, straight into
// the input when it holds real doubles, else into a converted copy.
struct Values {
    const double *data;
    int64_t stride;
    double single;  // a one-element input, read as the single call reads it
};

}  // namespace

extern "C" MODULE_EXPORT void mexFunction(int nlhs, mxArray *plhs[], int nrhs,
                                          const mxArray *prhs[]) {
    if (nrhs < 5) {
        mexErrMsgIdAndTxt(
            "tarvenloch:notEnoughInputs",
            "expected 5 or 6 inputs, U = tarvenloch_batch(a, b, P, Q, n, threads); got %d.", nrhs);
    }
    if (nrhs > 6) {
        mexErrMsgIdAndTxt(
            "tarvenloch:tooManyInputs",
            "expected 5 or 6 inputs, U = tarvenloch_batch(a, b, P, Q, n, threads); got %d.", nrhs);
    }
    if (nlhs > 1) {
        mexErrMsgIdAndTxt("tarvenloch:tooManyOutputs",
                          "only one output is returned, but %d were asked for.", nlhs);
    }
    const mxArray *aIn = prhs[0], *bIn = prhs[1], *pIn = prhs[2], *qIn = prhs[3], *nIn = prhs[4];
    requireValues(aIn, 0);
    requireValues(bIn, 1);
    requireCoefficients(pIn, 2);
    requireCoefficients(qIn, 3);
    requireValues(nIn, 4);
    const int32_t threads = nrhs > 5 ? threadCount(prhs[5]) : 0;

    // K: the one count among the five that is not 1 (0 included), else 1.
    const size_t counts[] = {mxGetNumberOfElements(aIn), mxGetNumberOfElements(bIn), mxGetN(pIn),
                             mxGetN(qIn), mxGetNumberOfElements(nIn)};
    const char *const what[] = {"elements", "elements", "columns", "columns", "elements"};
    int first = 0, second = 0;
    const size_t count = tarvenloch::problemCountOf(counts, 5, &first, &second);
    if (count == static_cast<size_t>(-1)) {
        mexErrMsgIdAndTxt(
            "tarvenloch:sizeMismatch",
            "%s has %llu %s but %s has %llu %s; each must have 1 or as many as there are problems.",
            kInputNames[first], static_cast<unsigned long long>(counts[first]), what[first],
            kInputNames[second], static_cast<unsigned long long>(counts[second]), what[second]);
    }

    // Every problem's n must fit in the rows of P and Q.
    const Elements nValues(nIn);
    int32_t largest = 0;
    const bool perProblemN = counts[4] != 1;
    if (count > 0) {
        for (size_t i = 0; i < (perProblemN ? count : 1); ++i) {
            const int32_t n = termCount(nValues[i]);
            if (n > largest) largest = n;
        }
    }
    const size_t rows[] = {mxGetM(pIn), mxGetM(qIn)};
    for (int i = 0; i < 2; ++i) {
        if (rows[i] < static_cast<size_t>(largest)) {
            mexErrMsgIdAndTxt("tarvenloch:sizeMismatch",
                              "%s has %llu rows, but n = %d terms were asked for; each column "
                              "holds one problem's terms.",
                              kInputNames[2 + i], static_cast<unsigned long long>(rows[i]),
                              static_cast<int>(largest));
        }
    }

    // Copies are needed for n when it varies per problem, and for a and b
    // when they vary but are not real doubles (complex doubles are read in
    // place: their real parts are stored on their own).
    Values a{nullptr, 0, 0}, b{nullptr, 0, 0};
    Values *values[] = {&a, &b};
    const mxArray *valueInputs[] = {aIn, bIn};
    size_t copiedDoubles = 0;
    for (int i = 0; i < 2; ++i) {
        const mxArray *input = valueInputs[i];
        if (mxGetNumberOfElements(input) == 1 || count == 0) {
            values[i]->single = count == 0 ? 0.0 : mxGetScalar(input);
            values[i]->data = &values[i]->single;
        } else if (mxGetClassID(input) == mxDOUBLE_CLASS) {
            values[i]->data = static_cast<const double *>(mxGetData(input));
            values[i]->stride = 1;
        } else {
            values[i]->stride = 1;
            copiedDoubles += count;
        }
    }
    int32_t sharedN = count > 0 && !perProblemN ? termCount(nValues[0]) : 0;
    const size_t copiedCounts = perProblemN ? count : 0;
    mxArray *result = mxCreateDoubleMatrix(1, count, mxREAL);
    void *copies = nullptr;
    if (copiedDoubles + copiedCounts > 0) {
        copies = std::malloc(copiedDoubles * sizeof(double) + copiedCounts * sizeof(int32_t));
    }
    if (result == nullptr || (copiedDoubles + copiedCounts > 0 && copies == nullptr)) {
        std::free(copies);
        if (result != nullptr) mxDestroyArray(result);
        mexErrMsgIdAndTxt("tarvenloch:outOfMemory",
                          "out of memory for the inputs of %llu problems.",
                          static_cast<unsigned long long>(count));
    }
    double *nextCopy = static_cast<double *>(copies);
    for (int i = 0; i < 2; ++i) {
        if (values[i]->data != nullptr) continue;
        const Elements elements(valueInputs[i]);
        for (size_t k = 0; k < count; ++k) nextCopy[k] = elements[k];
        values[i]->data = nextCopy;
        nextCopy += count;
    }
    const int32_t *n = &sharedN;
    if (perProblemN) {
        int32_t *converted = reinterpret_cast<int32_t *>(nextCopy);
        for (size_t k = 0; k < count; ++k) converted[k] = termCount(nValues[k]);
        n = converted;
    }

    const bool solved = minimizeBatch(
        mxGetPr(result), static_cast<int64_t>(count), a.data, a.stride, b.data, b.stride,
        mxGetPr(pIn), counts[2] == 1 ? 0 : static_cast<int64_t>(rows[0]), mxGetPr(qIn),
        counts[3] == 1 ? 0 : static_cast<int64_t>(rows[1]), n, perProblemN ? 1 : 0, threads);
    std::free(copies);
    if (!solved) {
        mxDestroyArray(result);
        mexErrMsgIdAndTxt(
            "tarvenloch:outOfMemory",
            "out of memory for the scratch space of a problem with up to n = %d terms.",
            static_cast<int>(largest));
    }
    // The output goes to the first slot even when no output was asked for.
    plhs[0] = result;
}
