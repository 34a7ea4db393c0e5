// A module file loaded once per test suite and called through the stand-in
// host, as MATLAB calls it. After each test every array that the host or
// the module made is gone again.
#ifndef TARVENLOCH_TESTS_MODULE_TEST_H
#define TARVENLOCH_TESTS_MODULE_TEST_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mexhost.h"

// Suite::file() names the module file.
template <typename Suite>
class ModuleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { module = new mexhost::Module(Suite::file()); }
    static void TearDownTestSuite() {
        delete module;
        module = nullptr;
    }
    void SetUp() override { liveBefore = mexhostLiveArrays(); }
    void TearDown() override { EXPECT_EQ(mexhostLiveArrays(), liveBefore); }

    // Calls with the inputs, which are destroyed afterwards.
    static mexhost::CallResult call(std::vector<mxArray *> inputs, int nlhs = 1) {
        mexhost::CallResult result = module->call(nlhs, inputs);
        for (mxArray *input : inputs) mexhostDestroyArray(input);
        return result;
    }
    // The identifier of the error the call must raise, leaving no output.
    static std::string errorOf(std::vector<mxArray *> inputs, int nlhs = 1) {
        const mexhost::CallResult result = call(std::move(inputs), nlhs);
        EXPECT_TRUE(result.failed);
        EXPECT_FALSE(result.hasOutput);
        return result.error.identifier;
    }
    // rows x columns of a class, holding fill (cycled), or 1, 2, 3, ...
    static mxArray *array(mexhostClass cls, size_t rows, size_t columns, bool complex = false,
                          bool sparse = false, const std::vector<double> &fill = {}) {
        mxArray *created = mexhostCreateArray(cls, rows, columns, complex, sparse);
        for (size_t i = 0; i < rows * columns; ++i) {
            mexhostValues(created)[i] = fill.empty() ? 1.0 + i : fill[i % fill.size()];
        }
        return created;
    }

    static inline mexhost::Module *module = nullptr;
    long liveBefore = 0;
};

#endif
