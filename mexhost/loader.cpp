// Opens a module file and calls it the way MATLAB does: ask for the required
// interface version, then call mexFunction with the host's arrays.
#include <cmath>
#include <stdexcept>

#include "mexhost.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace mexhost {

namespace {

void *openLibrary(const std::string &path) {
#if defined(_WIN32)
    return reinterpret_cast<void *>(LoadLibraryA(path.c_str()));
#else
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
}

void *findSymbol(void *handle, const char *name) {
#if defined(_WIN32)
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
    return dlsym(handle, name);
#endif
}

std::string loadError() {
#if defined(_WIN32)
    return "error " + std::to_string(GetLastError());
#else
    const char *text = dlerror();
    return text ? text : "unknown error";
#endif
}

// MATLAB has libmx and libmex loaded before it opens any module, and a
// module binds its imports to them by name. The host makes sure of both
// (it need not call into libmex itself, so a linker could drop that one);
// the handles are kept for the life of the process.
void loadPlatformLibraries() {
#if defined(_WIN32)
    const char *const names[] = {"libmx.dll", "libmex.dll"};
#else
    const char *const names[] = {"libmx.so", "libmex.so"};
#endif
    for (const char *name : names) {
        if (openLibrary(name) == nullptr) {
            throw std::runtime_error(std::string("cannot load ") + name + ": " + loadError());
        }
    }
}

}  // namespace

Module::Module(const std::string &path) {
    static const bool platformLoaded = (loadPlatformLibraries(), true);
    (void)platformLoaded;
    handle_ = openLibrary(path);
    if (handle_ == nullptr) throw std::runtime_error("cannot load " + path + ": " + loadError());
    entry_ = reinterpret_cast<decltype(entry_)>(findSymbol(handle_, "mexFunction"));
    version_ =
        reinterpret_cast<decltype(version_)>(findSymbol(handle_, "mexfilerequiredapiversion"));
    if (entry_ == nullptr) throw std::runtime_error(path + " has no mexFunction");
}

Module::~Module() {
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

bool Module::requiredApiVersion(int32_t &first, int32_t &second) const {
    if (version_ == nullptr) return false;
    version_(&first, &second);
    return true;
}

CallResult Module::call(int nlhs, const std::vector<mxArray *> &inputs) const {
    // MATLAB always passes room for at least one output.
    std::vector<mxArray *> outputs(nlhs > 1 ? nlhs : 1, nullptr);
    std::vector<const mxArray *> arguments(inputs.begin(), inputs.end());
    CallResult result;
    try {
        entry_(nlhs, outputs.data(), static_cast<int>(arguments.size()), arguments.data());
    } catch (const MexError &error) {
        result.failed = true;
        result.error = error;
    }
    if (!result.failed && outputs[0] != nullptr) {
        const mxArray *out = outputs[0];
        result.hasOutput = true;
        mexhostSize(out, &result.rows, &result.columns);
        result.outputIsRealDouble = mxIsDouble(out) && !mxIsComplex(out) && !mxIsSparse(out);
        result.value = mxIsEmpty(out) ? std::nan("") : mxGetScalar(out);
        if (mxIsDouble(out)) {
            const double *values = mxGetPr(out);
            result.values.assign(values, values + mxGetNumberOfElements(out));
        }
    }
    for (mxArray *out : outputs) mexhostDestroyArray(out);
    return result;
}

mxArray *doubles(const std::vector<double> &values) {
    mxArray *array = mexhostCreateArray(mexhostDouble, 1, values.size(), false, false);
    for (size_t i = 0; i < values.size(); ++i) mexhostValues(array)[i] = values[i];
    return array;
}

mxArray *scalar(double value) { return doubles({value}); }

}  // namespace mexhost
