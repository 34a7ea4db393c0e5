// Reads fuzzer bytes as a stream of values, biased towards the awkward ones.
#ifndef TARVENLOCH_FUZZ_INPUT_H
#define TARVENLOCH_FUZZ_INPUT_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

    // One tag byte: mostly eight raw bytes as a double (NaN payloads,
    // subnormals and all), else a value from a table of awkward ones, else a
    // small integer or a quarter, which makes ties and repeated kinks likely.
    double value() {
        const uint8_t tag = byte();
        if (tag < 96) {
            uint64_t bits = 0;
            for (int i = 0; i < 8; ++i) bits = bits << 8 | byte();
            double result;
            std::memcpy(&result, &bits, sizeof result);
            return result;
        }
        if (tag < 176) {
            // clang-format off
            static const double table[] = {
                0.0, -0.0, 1e-10, -1e-10, 1.0000000000000002e-10, -1.0000000000000002e-10,
                9.999999999999999e-11, std::numeric_limits<double>::quiet_NaN(),
                -std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                -std::numeric_limits<double>::infinity(), 4.9e-324, -4.9e-324, 2.2250738585072014e-308,
                1e10, -1e10, 3e10, 1e200, -1e200, 1e300, 1.7976931348623157e308, 0.5, 1.0, -1.0, 2.0,
                3.7, -2.5, 2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0, 3e9, 1e8, 1e100};
            // clang-format on
            return table[tag % (sizeof table / sizeof table[0])];
        }
        return static_cast<int>(byte() % 33) - 16 + (tag % 4) * 0.25;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

#endif
