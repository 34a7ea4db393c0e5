/*
 * The host side of the stand-in platform: building arrays of any class for a
 * call, loading a module file as MATLAB does, and calling it.
 */
#ifndef MEXHOST_MEXHOST_H
#define MEXHOST_MEXHOST_H

#include <stdint.h>

#include <string>
#include <vector>

#include "mex.h"

extern "C" {

/* The array classes the stand-in models; all hold their values as doubles. */
typedef enum {
    mexhostDouble,
    mexhostSingle,
    mexhostInt32,
    mexhostLogical,
    mexhostChar,
    mexhostCell
} mexhostClass;

/* A rows-by-columns array of a class, zero-filled; complex and sparse are flags. */
LIBMX_API mxArray *mexhostCreateArray(mexhostClass cls, size_t rows, size_t columns, bool complex,
                                      bool sparse);
/* The array's real values (for any class), readable and writable. */
LIBMX_API double *mexhostValues(mxArray *array);
LIBMX_API void mexhostSize(const mxArray *array, size_t *rows, size_t *columns);
LIBMX_API void mexhostDestroyArray(mxArray *array);
/* How many arrays exist now: a leak check for the host's tests. */
LIBMX_API long mexhostLiveArrays(void);
}

namespace mexhost {

// An error raised by the module through mexErrMsgIdAndTxt.
struct MexError {
    std::string identifier;
    std::string message;
};

// The outcome of one call: the first output (NaN when none), or the error.
struct CallResult {
    bool failed = false;
    MexError error;
    bool hasOutput = false;
    double value = 0;
    std::vector<double> values;  // every element of the first output
    size_t rows = 0, columns = 0;
    bool outputIsRealDouble = false;
};

// A module file opened as MATLAB opens one.
class Module {
public:
    // Throws std::runtime_error when the file or its entry point is missing.
    explicit Module(const std::string &path);
    ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    // What mexfilerequiredapiversion reports; false when the module has none.
    bool requiredApiVersion(int32_t &first, int32_t &second) const;

    // Calls mexFunction with these inputs; the host keeps ownership of them
    // and destroys every output afterwards, as MATLAB does.
    CallResult call(int nlhs, const std::vector<mxArray *> &inputs) const;

private:
    void *handle_ = nullptr;
    void (*entry_)(int, mxArray **, int, const mxArray **) = nullptr;
    void (*version_)(int32_t *, int32_t *) = nullptr;
};

// Convenience: a real double row vector, or a 1-by-1 double.
mxArray *doubles(const std::vector<double> &values);
mxArray *scalar(double value);

}  // namespace mexhost

#endif
