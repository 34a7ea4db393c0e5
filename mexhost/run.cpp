// mexhost-run: loads a module file in the stand-in host and calls it once.
//   mexhost-run MODULE A B P Q N
// P and Q are comma-separated lists. Prints the result (%.17g and its bits),
// or the error's identifier and message with exit status 1.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

}  // namespace

int main(int argc, char **argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s MODULE A B P Q N\n", argv[0]);
        return 2;
    }
    try {
        mexhost::Module module(argv[1]);
        std::vector<mxArray *> inputs = {
            mexhost::scalar(std::strtod(argv[2], nullptr)), mexhost::scalar(std::strtod(argv[3], nullptr)),
            mexhost::doubles(parseList(argv[4])), mexhost::doubles(parseList(argv[5])),
            mexhost::scalar(std::strtod(argv[6], nullptr))};
        const mexhost::CallResult result = module.call(1, inputs);
        for (mxArray *input : inputs) mexhostDestroyArray(input);
        if (result.failed) {
            std::printf("%s: %s\n", result.error.identifier.c_str(), result.error.message.c_str());
            return 1;
        }
        uint64_t bits;
        std::memcpy(&bits, &result.value, sizeof bits);
        std::printf("%.17g 0x%016" PRIx64 "\n", result.value, bits);
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
}
