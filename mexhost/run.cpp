// mexhost-run: loads a module file in the stand-in host and calls it.
//
//   mexhost-run MODULE A B P Q N
//     one call; P and Q are comma-separated lists. Prints the result (%.17g
//     and its bits), or the error's identifier and message with status 1.
//
//   mexhost-run MODULE --calls FILE
//     every call listed in FILE, one per line:
//       NLHS NRHS, then for each input: CLASS ROWS COLUMNS COMPLEX SPARSE and
//       ROWS * COLUMNS values as 16-digit hexadecimal bit patterns
//     (CLASS: 0 double, 1 single, 2 int32, 3 logical, 4 char, 5 cell).
//     Prints one line per call: "ok" and the bits of every element of the
//     output, or "error IDENTIFIER". The same file run by two builds must
//     print the same lines.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "mexhost.h"

namespace {

std::vector<double> parseList(const std::string &text) {
    std::vector<double> values;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        if (!item.empty()) values.push_back(std::strtod(item.c_str(), nullptr));
    }
    return values;
}

uint64_t bitsOf(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double fromBits(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

int runOne(const mexhost::Module &module, char **argv) {
    std::vector<mxArray *> inputs = {
        mexhost::scalar(std::strtod(argv[2], nullptr)),
        mexhost::scalar(std::strtod(argv[3], nullptr)), mexhost::doubles(parseList(argv[4])),
        mexhost::doubles(parseList(argv[5])), mexhost::scalar(std::strtod(argv[6], nullptr))};
    const mexhost::CallResult result = module.call(1, inputs);
    for (mxArray *input : inputs) mexhostDestroyArray(input);
    if (result.failed) {
        std::printf("%s: %s\n", result.error.identifier.c_str(), result.error.message.c_str());
        return 1;
    }
    std::printf("%.17g 0x%016" PRIx64 "\n", result.value, bitsOf(result.value));
    return 0;
}

int runCalls(const mexhost::Module &module, const char *path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error(std::string("cannot read ") + path);
    std::string line;
    long number = 0;
    while (std::getline(file, line)) {
        ++number;
        std::istringstream fields(line);
        int nlhs = 0, nrhs = 0;
        if (!(fields >> nlhs >> nrhs))
            throw std::runtime_error("bad call on line " + std::to_string(number));
        std::vector<mxArray *> inputs;
        for (int i = 0; i < nrhs; ++i) {
            int cls = 0, complex = 0, sparse = 0;
            size_t rows = 0, columns = 0;
            fields >> cls >> rows >> columns >> complex >> sparse;
            mxArray *array = mexhostCreateArray(static_cast<mexhostClass>(cls), rows, columns,
                                                complex != 0, sparse != 0);
            for (size_t k = 0; k < rows * columns; ++k) {
                std::string hex;
                fields >> hex;
                mexhostValues(array)[k] = fromBits(std::strtoull(hex.c_str(), nullptr, 16));
            }
            inputs.push_back(array);
        }
        if (!fields) throw std::runtime_error("bad input on line " + std::to_string(number));
        const mexhost::CallResult result = module.call(nlhs, inputs);
        for (mxArray *input : inputs) mexhostDestroyArray(input);
        if (result.failed) {
            std::printf("error %s\n", result.error.identifier.c_str());
        } else if (result.hasOutput) {
            std::printf("ok");
            for (double value : result.values) std::printf(" %016" PRIx64, bitsOf(value));
            std::printf("\n");
        } else {
            std::printf("no output\n");
        }
    }
    if (mexhostLiveArrays() != 0) throw std::runtime_error("arrays leaked");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const bool calls = argc == 4 && std::strcmp(argv[2], "--calls") == 0;
    if (argc != 7 && !calls) {
        std::fprintf(stderr, "usage: %s MODULE A B P Q N\n       %s MODULE --calls FILE\n", argv[0],
                     argv[0]);
        return 2;
    }
    try {
        mexhost::Module module(argv[1]);
        return calls ? runCalls(module, argv[3]) : runOne(module, argv);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
}
