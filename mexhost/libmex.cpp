// The stand-in for MATLAB's MEX library, libmex: the mex* functions that the
// modules use.
#include <cstdarg>
#include <cstdio>

#include "mexhost.h"

extern "C" {

void mexErrMsgIdAndTxt(const char *identifier, const char *format, ...) {
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    // The host catches this around mexFunction, as MATLAB unwinds to its prompt.
    // The message is kept as the module wrote it, as MATLAB keeps it; Octave
    // would put the function's name and a colon before it.
    throw mexhost::MexError{identifier, message};
}

}  // extern "C"
