// The Python extension tarvenloch._tarvenloch: minimize and minimize_batch,
// NumPy's front doors to minimizeOverBreakpoints and minimizeBatch.
//
// Inputs are converted as numpy.asarray(x, dtype=float64) converts them, but
// only from booleans, integers and floating point (an object array holding
// nothing else, as a list with an integer past 64 bits becomes, included):
// complex, string and other object input raises TypeError instead of being
// cast. Every input is checked before anything is solved, with the MEX
// gateways' wording where the same rule applies. Every new reference is
// held by an Owned, so each path out of a call, error or not, releases what
// the call made.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cmath>
#include <cstdint>

#include "batch.h"
#include "docstrings.h"
#include "tarvenloch.h"

namespace {

// Calls with fewer terms than this, over all their problems, keep the GIL:
// releasing and taking it back costs about 0.1 us alone, and in a process
// where another thread runs Python code, taking it back can wait for that
// thread's whole switch interval (5 ms), far more than such a call solves.
constexpr int64_t kTermsToReleaseGil = 128;

// A new reference (or none), released when it goes out of scope.
class Owned {
public:
    explicit Owned(PyObject *object = nullptr) : object_(object) {}
    explicit Owned(PyArrayObject *array) : object_(reinterpret_cast<PyObject *>(array)) {}
    ~Owned() { Py_XDECREF(object_); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;

    void reset(PyObject *object) {
        Py_XDECREF(object_);
        object_ = object;
    }
    PyObject *get() const { return object_; }
    PyArrayObject *array() const { return reinterpret_cast<PyArrayObject *>(object_); }
    PyObject *release() {
        PyObject *object = object_;
        object_ = nullptr;
        return object;
    }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject *object_;
};

// The arguments of a METH_FASTCALL | METH_KEYWORDS call, by position or by
// name, into slots in the order of names; omitted optional ones stay null.
bool parseArguments(const char *function, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, const char *const *names, int count, int required,
                    PyObject **slots) {
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d arguments (%zd given)", function,
                     count, nargs);
        return false;
    }
    for (int i = 0; i < count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        int i = 0;
        while (i < count && PyUnicode_CompareWithASCIIString(key, names[i]) != 0) ++i;
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         key);
            return false;
        }
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         names[i]);
            return false;
        }
        slots[i] = args[nargs + k];
    }
    for (int i = 0; i < required; ++i) {
        if (slots[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", function,
                         names[i], i + 1);
            return false;
        }
    }
    return true;
}

// Whether an object array holds only real numbers: Python's bool, int and
// float and NumPy's boolean, integer and floating scalars, each of which
// float() converts. -1 with an exception set when the check itself fails.
int holdsRealNumbers(PyArrayObject *objects) {
    Owned flat(PyArray_Ravel(objects, NPY_CORDER));
    if (!flat) return -1;
    auto *const *items = static_cast<PyObject *const *>(PyArray_DATA(flat.array()));
    const npy_intp size = PyArray_SIZE(flat.array());
    for (npy_intp i = 0; i < size; ++i) {
        PyObject *item = items[i];
        const bool real = item != nullptr &&
                          (PyLong_Check(item) || PyFloat_Check(item) ||
                           PyArray_IsScalar(item, Bool) || PyArray_IsScalar(item, Floating) ||
                           (PyArray_IsScalar(item, Integer) && !PyArray_IsScalar(item, Timedelta)));
        if (!real) return 0;
    }
    return 1;
}

// object as an aligned float64 array in native byte order, meeting flags
// (for instance NPY_ARRAY_C_CONTIGUOUS) as well: the object itself when it
// already is one, else a converted copy.
PyArrayObject *realArray(PyObject *object, const char *function, const char *name, int flags) {
    if (PyArray_Check(object)) {
        auto *array = reinterpret_cast<PyArrayObject *>(object);
        if (PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) &&
            PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED | flags)) {
            Py_INCREF(object);
            return array;
        }
    }
    Owned natural(PyArray_FromAny(object, nullptr, 0, 0, 0, nullptr));
    if (!natural) return nullptr;
    PyArray_Descr *type = PyArray_DESCR(natural.array());
    int real = type->kind == 'b' || type->kind == 'i' || type->kind == 'u' || type->kind == 'f';
    if (!real && type->kind == 'O') {
        real = holdsRealNumbers(natural.array());
        if (real < 0) return nullptr;
    }
    if (!real) {
        PyErr_Format(PyExc_TypeError,
                     "%s: %s must hold real numbers (booleans, integers or floating point); "
                     "got %S.",
                     function, name, reinterpret_cast<PyObject *>(type));
        return nullptr;
    }
    // The kind is checked, so a forced cast only rounds (long double, integers
    // past 53 bits) or is exact; a Python int too large for any float raises
    // OverflowError, as in NumPy.
    return reinterpret_cast<PyArrayObject *>(
        PyArray_FromArray(natural.array(), PyArray_DescrFromType(NPY_DOUBLE),
                          NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST | flags));
}

// Raises ValueError "<function>: <name> must be <what>; got an array of shape (...)."
void raiseShapeError(const char *function, const char *name, const char *what,
                     PyArrayObject *array) {
    Owned shape(PyObject_GetAttrString(reinterpret_cast<PyObject *>(array), "shape"));
    if (!shape) return;
    PyErr_Format(PyExc_ValueError, "%s: %s must be %s; got an array of shape %S.", function, name,
                 what, shape.get());
}

// A real number given as a Python or NumPy scalar or a 0-d array.
bool realScalar(PyObject *object, const char *function, const char *name, double *value) {
    if (PyFloat_Check(object)) {  // float and numpy.float64
        *value = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if (PyLong_CheckExact(object)) {
        *value = PyLong_AsDouble(object);
        return !(*value == -1.0 && PyErr_Occurred());
    }
    Owned array(realArray(object, function, name, 0));
    if (!array) return false;
    if (PyArray_NDIM(array.array()) != 0) {
        raiseShapeError(function, name, "a scalar", array.array());
        return false;
    }
    *value = *static_cast<const double *>(PyArray_DATA(array.array()));
    return true;
}

// A count of terms or threads: a whole number, as int64, clamped to the
// int64 range; a count past that range also leaves the number passed in
// *passed, for messages to name. Infinities are whole only when
// infiniteAllowed (threads = inf asks for every thread, as in the MEX
// module; an infinite n is rejected as NaN is). Raises ValueError otherwise,
// naming "<function>: <name>".
bool wholeNumber(PyObject *object, const char *function, const char *name, bool infiniteAllowed,
                 int64_t *value, Owned *passed) {
    if (PyLong_Check(object) || PyArray_IsScalar(object, Integer)) {
        Owned index(PyNumber_Index(object));
        if (!index) return false;
        int overflow = 0;
        const long long whole = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (whole == -1 && PyErr_Occurred()) return false;
        *value = overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : whole;
        if (overflow != 0) passed->reset(index.release());
        return true;
    }
    double real = 0;
    if (!realScalar(object, function, name, &real)) return false;
    if (!(std::trunc(real) == real) || (!infiniteAllowed && std::isinf(real))) {
        Owned shown(PyFloat_FromDouble(real));
        if (shown) {
            PyErr_Format(PyExc_ValueError, "%s: %s must be a whole number; got %R.", function, name,
                         shown.get());
        }
        return false;
    }
    const bool clamped = !(real > -9.2e18 && real < 9.2e18);
    *value = !clamped ? static_cast<int64_t>(real) : real > 0 ? INT64_MAX : INT64_MIN;
    if (clamped) {
        passed->reset(PyFloat_FromDouble(real));
        if (!*passed) return false;
    }
    return true;
}

// A count for a message: the number passed when it was clamped, else the
// count itself. A new reference.
PyObject *shownCount(int64_t value, const Owned &passed) {
    if (!passed) return PyLong_FromLongLong(value);
    Py_INCREF(passed.get());
    return passed.get();
}

// Raises ValueError when a problem asks for more terms than the solver takes.
bool withinSolverRange(const char *function, int64_t n) {
    if (n <= INT32_MAX) return true;
    PyErr_Format(PyExc_ValueError, "%s: n = %lld terms is more than one problem may have (%d).",
                 function, static_cast<long long>(n), INT32_MAX);
    return false;
}

PyObject *minimize(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const kNames[] = {"a", "b", "p", "q", "n"};
    static const char *const kFunction = "minimize";
    PyObject *in[5];
    if (!parseArguments(kFunction, args, nargs, kwnames, kNames, 5, 4, in)) return nullptr;
    double a = 0, b = 0;
    if (!realScalar(in[0], kFunction, "a", &a) || !realScalar(in[1], kFunction, "b", &b)) {
        return nullptr;
    }
    // The solver reads the terms one after another: contiguous copies of
    // strided input.
    Owned p(realArray(in[2], kFunction, "p", NPY_ARRAY_C_CONTIGUOUS));
    if (!p) return nullptr;
    Owned q(realArray(in[3], kFunction, "q", NPY_ARRAY_C_CONTIGUOUS));
    if (!q) return nullptr;
    // A scalar is one term, as the MEX module takes a 1-by-1 p and q.
    const Owned *coefficients[] = {&p, &q};
    npy_intp lengths[2];
    for (int i = 0; i < 2; ++i) {
        PyArrayObject *array = coefficients[i]->array();
        if (PyArray_NDIM(array) > 1) {
            raiseShapeError(kFunction, kNames[2 + i], "a scalar or one-dimensional", array);
            return nullptr;
        }
        lengths[i] = PyArray_NDIM(array) == 0 ? 1 : PyArray_DIM(array, 0);
    }
    int64_t n = lengths[0];
    Owned nPassed;
    if (in[4] == nullptr || in[4] == Py_None) {
        if (lengths[1] != lengths[0]) {
            PyErr_Format(PyExc_ValueError,
                         "minimize: p has %zd elements but q has %zd; with n omitted, every "
                         "element is a term, so they must match.",
                         lengths[0], lengths[1]);
            return nullptr;
        }
    } else if (!wholeNumber(in[4], kFunction, "n", false, &n, &nPassed)) {
        return nullptr;
    }
    for (int i = 0; i < 2; ++i) {
        if (n > lengths[i]) {
            Owned shown(shownCount(n, nPassed));
            if (shown) {
                PyErr_Format(PyExc_ValueError,
                             "minimize: %s has %zd elements, but n = %S terms were asked for.",
                             kNames[2 + i], lengths[i], shown.get());
            }
            return nullptr;
        }
    }
    if (!withinSolverRange(kFunction, n)) return nullptr;
    const int32_t terms = n > 0 ? static_cast<int32_t>(n) : 0;
    const auto *pData = static_cast<const double *>(PyArray_DATA(p.array()));
    const auto *qData = static_cast<const double *>(PyArray_DATA(q.array()));
    double u = 0;
    bool solved = false;
    if (terms >= kTermsToReleaseGil) {
        Py_BEGIN_ALLOW_THREADS solved = minimizeOverBreakpoints(&u, a, b, pData, qData, terms);
        Py_END_ALLOW_THREADS
    } else {
        solved = minimizeOverBreakpoints(&u, a, b, pData, qData, terms);
    }
    if (!solved) {
        return PyErr_Format(PyExc_MemoryError,
                            "minimize: out of memory for the scratch space of n = %d terms.",
                            static_cast<int>(terms));
    }
    return PyFloat_FromDouble(u);
}

// One input of minimize_batch as the solver reads it: its data and the
// stride between problems, in elements (0 when it is shared).
struct BatchValues {
    const double *data;
    int64_t stride;
};

// a, b or n: a scalar or one value per problem (one-dimensional).
PyArrayObject *perProblemValues(PyObject *object, const char *name) {
    PyArrayObject *array = realArray(object, "minimize_batch", name, 0);
    if (array != nullptr && PyArray_NDIM(array) > 1) {
        raiseShapeError("minimize_batch", name, "a scalar or one-dimensional", array);
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

// P or Q: one problem's terms (one-dimensional, shared by all) or one row
// per problem. Each row's terms must lie one after another; a copy is made
// of an array whose rows do not.
PyArrayObject *problemRows(PyObject *object, const char *name) {
    Owned array(realArray(object, "minimize_batch", name, 0));
    if (!array) return nullptr;
    const int dims = PyArray_NDIM(array.array());
    if (dims != 1 && dims != 2) {
        raiseShapeError("minimize_batch", name, "one- or two-dimensional", array.array());
        return nullptr;
    }
    const int inner = dims - 1;
    if (PyArray_DIM(array.array(), inner) > 1 &&
        PyArray_STRIDE(array.array(), inner) != static_cast<npy_intp>(sizeof(double))) {
        array.reset(PyArray_NewCopy(array.array(), NPY_CORDER));
    }
    return reinterpret_cast<PyArrayObject *>(array.release());
}

// The count an input gives K: its length when it holds one value or row per
// problem, else 1.
npy_intp problemCount(PyArrayObject *array, int perProblemDims) {
    return PyArray_NDIM(array) == perProblemDims ? PyArray_DIM(array, 0) : 1;
}

BatchValues valuesOf(PyArrayObject *array, int perProblemDims) {
    const bool shared = problemCount(array, perProblemDims) == 1;
    return {static_cast<const double *>(PyArray_DATA(array)),
            shared ? 0
                   : static_cast<int64_t>(PyArray_STRIDE(array, 0) /
                                          static_cast<npy_intp>(sizeof(double)))};
}

// threads: omitted or None is 0, the default, as an omitted n is.
bool threadCount(PyObject *object, int32_t *threads) {
    int64_t value = 0;
    Owned passed;
    if (object != nullptr && object != Py_None &&
        !wholeNumber(object, "minimize_batch", "threads", true, &value, &passed)) {
        return false;
    }
    if (value < 0) {
        Owned shown(shownCount(value, passed));
        if (shown) {
            PyErr_Format(PyExc_ValueError,
                         "minimize_batch: threads must be 0 (every processor this process may "
                         "use) or a positive whole number; got %S.",
                         shown.get());
        }
        return false;
    }
    *threads = value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
    return true;
}

PyObject *minimizeBatchCall(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
    static const char *const kNames[] = {"a", "b", "P", "Q", "n", "threads"};
    static const char *const kFunction = "minimize_batch";
    PyObject *in[6];
    if (!parseArguments(kFunction, args, nargs, kwnames, kNames, 6, 4, in)) return nullptr;
    Owned a(perProblemValues(in[0], "a"));
    if (!a) return nullptr;
    Owned b(perProblemValues(in[1], "b"));
    if (!b) return nullptr;
    Owned P(problemRows(in[2], "P"));
    if (!P) return nullptr;
    Owned Q(problemRows(in[3], "Q"));
    if (!Q) return nullptr;
    const bool nGiven = in[4] != nullptr && in[4] != Py_None;
    Owned nValues(nGiven ? perProblemValues(in[4], "n") : nullptr);
    if (nGiven && !nValues) return nullptr;
    int32_t threads = 0;
    if (!threadCount(in[5], &threads)) return nullptr;

    // K: the one count among the five that is not 1 (0 included), else 1.
    const npy_intp counts[] = {problemCount(a.array(), 1), problemCount(b.array(), 1),
                               problemCount(P.array(), 2), problemCount(Q.array(), 2),
                               nGiven ? problemCount(nValues.array(), 1) : 1};
    const char *const what[] = {"elements", "elements", "rows", "rows", "elements"};
    int first = 0, second = 0;
    const npy_intp count = tarvenloch::problemCountOf(counts, 5, &first, &second);
    if (count < 0) {
        PyErr_Format(PyExc_ValueError,
                     "minimize_batch: %s has %zd %s but %s has %zd %s; each must have 1 or as "
                     "many as there are problems.",
                     kNames[first], counts[first], what[first], kNames[second], counts[second],
                     what[second]);
        return nullptr;
    }

    // Each problem's n, as the solver takes it: n <= 0 becomes 0.
    const npy_intp columns[] = {PyArray_DIM(P.array(), PyArray_NDIM(P.array()) - 1),
                                PyArray_DIM(Q.array(), PyArray_NDIM(Q.array()) - 1)};
    int32_t sharedN = 0;
    const int32_t *n = &sharedN;
    int64_t nStride = 0;
    int64_t largest = 0;
    Owned largestPassed;  // the largest n as passed, when it was clamped
    int64_t terms = 0;    // over all problems, for the decision to release the GIL
    Owned converted;
    if (!nGiven) {
        if (columns[0] != columns[1]) {
            PyErr_Format(PyExc_ValueError,
                         "minimize_batch: P has %zd columns but Q has %zd; with n omitted, every "
                         "column is a term, so they must match.",
                         columns[0], columns[1]);
            return nullptr;
        }
        largest = columns[0];
    } else if (PyArray_NDIM(nValues.array()) == 0 || counts[4] == 1) {
        // A scalar n is read as passed, so that an int past 64 bits is named
        // exactly; a one-element array, from its float64 copy.
        Owned first;
        if (PyArray_NDIM(nValues.array()) == 0) {
            Py_INCREF(in[4]);
            first.reset(in[4]);
        } else {
            first.reset(PyArray_GETITEM(nValues.array(), PyArray_BYTES(nValues.array())));
        }
        if (!first || !wholeNumber(first.get(), kFunction, "n", false, &largest, &largestPassed)) {
            return nullptr;
        }
        if (count == 0) {  // no problem asks for any term
            largest = 0;
            largestPassed.reset(nullptr);
        }
    } else {
        converted.reset(PyArray_SimpleNew(1, &count, NPY_INT32));
        if (!converted) return nullptr;
        auto *each = static_cast<int32_t *>(PyArray_DATA(converted.array()));
        const char *from = PyArray_BYTES(nValues.array());
        const npy_intp stride = PyArray_STRIDE(nValues.array(), 0);
        double largestValue = 0;  // the largest n as passed
        for (npy_intp i = 0; i < count; ++i, from += stride) {
            const double value = *reinterpret_cast<const double *>(from);
            if (!(std::trunc(value) == value) || std::isinf(value)) {
                Owned shown(PyFloat_FromDouble(value));
                if (shown) {
                    PyErr_Format(PyExc_ValueError,
                                 "minimize_batch: n must hold whole numbers; n[%zd] is %R.", i,
                                 shown.get());
                }
                return nullptr;
            }
            const int64_t whole = value >= 9.2e18 ? INT64_MAX
                                  : value <= 0    ? 0
                                                  : static_cast<int64_t>(value);
            if (whole > largest) {
                largest = whole;
                largestValue = value;
            }
            each[i] = whole > INT32_MAX ? INT32_MAX : whole > 0 ? static_cast<int32_t>(whole) : 0;
            terms += each[i];
        }
        n = each;
        nStride = 1;
        if (largest == INT64_MAX) {
            largestPassed.reset(PyFloat_FromDouble(largestValue));
            if (!largestPassed) return nullptr;
        }
    }
    for (int i = 0; i < 2; ++i) {
        if (columns[i] < largest) {
            Owned shown(shownCount(largest, largestPassed));
            if (shown) {
                PyErr_Format(PyExc_ValueError,
                             "minimize_batch: %s has %zd columns, but n = %S terms were asked "
                             "for; each row holds one problem's terms.",
                             kNames[2 + i], columns[i], shown.get());
            }
            return nullptr;
        }
    }
    if (!withinSolverRange(kFunction, largest)) return nullptr;
    if (nStride == 0) {
        sharedN = largest > 0 ? static_cast<int32_t>(largest) : 0;
        terms = static_cast<int64_t>(count) * sharedN;
    }

    Owned result(PyArray_SimpleNew(1, &count, NPY_DOUBLE));
    if (!result) return nullptr;
    const BatchValues av = valuesOf(a.array(), 1), bv = valuesOf(b.array(), 1);
    const BatchValues pv = valuesOf(P.array(), 2), qv = valuesOf(Q.array(), 2);
    auto *results = static_cast<double *>(PyArray_DATA(result.array()));
    bool solved = false;
    if (terms >= kTermsToReleaseGil) {
        Py_BEGIN_ALLOW_THREADS solved =
            minimizeBatch(results, count, av.data, av.stride, bv.data, bv.stride, pv.data,
                          pv.stride, qv.data, qv.stride, n, nStride, threads);
        Py_END_ALLOW_THREADS
    } else {
        solved = minimizeBatch(results, count, av.data, av.stride, bv.data, bv.stride, pv.data,
                               pv.stride, qv.data, qv.stride, n, nStride, threads);
    }
    if (!solved) {
        return PyErr_Format(PyExc_MemoryError,
                            "minimize_batch: out of memory for the scratch space of a problem "
                            "with up to n = %lld terms.",
                            static_cast<long long>(largest));
    }
    return result.release();
}

PyMethodDef kMethods[] = {
    {"minimize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(minimize)),
     METH_FASTCALL | METH_KEYWORDS, kMinimizeDoc},
    {"minimize_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(minimizeBatchCall)),
     METH_FASTCALL | METH_KEYWORDS, kMinimizeBatchDoc},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT,
                       "tarvenloch._tarvenloch",
                       kModuleDoc,
                       -1,
                       kMethods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__tarvenloch(void) {
    import_array();
    PyObject *module = PyModule_Create(&kModule);
    if (module == nullptr) return nullptr;
    if (PyModule_AddStringConstant(module, "__version__", TARVENLOCH_VERSION) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
