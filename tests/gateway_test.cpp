// The built module file, loaded and called through the stand-in host.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "mexhost.h"
#include "module_test.h"
#include "problems.h"
#include "reference.h"

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

class Gateway : public ModuleTest<Gateway> {
public:
    static const char *file() { return TARVENLOCH_MODULE_FILE; }

protected:
    static double value(std::vector<mxArray *> inputs, int nlhs = 1) {
        const mexhost::CallResult result = call(std::move(inputs), nlhs);
        EXPECT_FALSE(result.failed) << result.error.identifier << ": " << result.error.message;
        EXPECT_TRUE(result.hasOutput && result.outputIsRealDouble);
        EXPECT_EQ(result.rows, 1u);
        EXPECT_EQ(result.columns, 1u);
        return result.value;
    }
};

using mexhost::doubles;
using mexhost::scalar;

TEST_F(Gateway, AsksForTheR2017bInterface) {
    int32_t first = 0, second = -1;
    ASSERT_TRUE(module->requiredApiVersion(first, second));
    EXPECT_EQ(first, 131450);
    EXPECT_EQ(second, 0);
}

TEST_F(Gateway, WorkedExampleWithAndWithoutAnOutputRequested) {
    EXPECT_EQ(bitsOf(0.3 - 1),
              bitsOf(value({scalar(0.3), scalar(1), scalar(1), scalar(-2), scalar(1)})));
    EXPECT_EQ(bitsOf(0.3 - 1),
              bitsOf(value({scalar(0.3), scalar(1), scalar(1), scalar(-2), scalar(1)}, 0)));
}

TEST_F(Gateway, FifthInputIsTruncatedOrMakesAnEmptyProblem) {
    const std::vector<double> p = {1, -2, 3, 5}, q = {4, 1, -2, 7};
    const double three = reference::minimize(0.5, 1, p.data(), q.data(), 3);
    EXPECT_EQ(bitsOf(three),
              bitsOf(value({scalar(0.5), scalar(1), doubles(p), doubles(q), scalar(3.7)})));
    for (double n : {-2.5, -0.0, nan, inf, -inf, 3e9, 2147483648.0, -2147483649.0}) {
        EXPECT_EQ(bitsOf(0.5),
                  bitsOf(value({scalar(0.5), scalar(1), doubles(p), doubles(q), scalar(n)})))
            << "n = " << n;
    }
    // Empty problems read nothing, so any p and q of the right class will do.
    EXPECT_EQ(bitsOf(0.5),
              bitsOf(value({scalar(0.5), scalar(1), doubles({}), doubles({}), scalar(0)})));
}

TEST_F(Gateway, ScalarsOfAnyNumericOrLogicalClassAndExtraElements) {
    const double expected = reference::minimize(2, 1, std::vector<double>{1, 1}.data(),
                                                std::vector<double>{-1, 1}.data(), 2);
    mxArray *a = array(mexhostInt32, 1, 1);
    mexhostValues(a)[0] = 2;
    mxArray *b = array(mexhostLogical, 2, 3, false, true);  // first element 1
    mxArray *n = array(mexhostSingle, 1, 1, true);
    mexhostValues(n)[0] = 2;
    EXPECT_EQ(bitsOf(expected),
              bitsOf(value({a, b, doubles({1, 1, 7, 7}), doubles({-1, 1, 9}), n})));
}

// A sparse scalar input is read as MATLAB's mxGetScalar reads it: its first
// non-zero element, and 0 when it has none. An empty problem returns a.
TEST_F(Gateway, SparseScalarsReadTheirFirstNonZeroElement) {
    mxArray *leadingZeros = array(mexhostDouble, 2, 2, false, true);
    mexhostValues(leadingZeros)[0] = 0;
    mexhostValues(leadingZeros)[1] = 0;
    EXPECT_EQ(3.0, value({leadingZeros, scalar(1), doubles({}), doubles({}), scalar(0)}));
    mxArray *allZero = array(mexhostDouble, 1, 3, false, true);
    for (int i = 0; i < 3; ++i) mexhostValues(allZero)[i] = 0;
    EXPECT_EQ(bitsOf(0.0),
              bitsOf(value({allZero, scalar(1), doubles({}), doubles({}), scalar(0)})));
}

TEST_F(Gateway, RejectsCallsThatWouldReadMemoryItMustNot) {
    EXPECT_EQ(errorOf({}), "tarvenloch:notEnoughInputs");
    EXPECT_EQ(errorOf({scalar(1), scalar(1), scalar(1), scalar(1)}), "tarvenloch:notEnoughInputs");
    EXPECT_EQ(errorOf({scalar(1), scalar(1), scalar(1), scalar(1), scalar(1)}, 2),
              "tarvenloch:tooManyOutputs");
    for (mexhostClass cls : {mexhostChar, mexhostCell}) {
        EXPECT_EQ(errorOf({array(cls, 1, 1), scalar(1), scalar(1), scalar(1), scalar(1)}),
                  "tarvenloch:invalidScalar");
        EXPECT_EQ(errorOf({scalar(1), scalar(1), scalar(1), scalar(1), array(cls, 1, 1)}),
                  "tarvenloch:invalidScalar");
    }
    EXPECT_EQ(errorOf({scalar(1), doubles({}), scalar(1), scalar(1), scalar(1)}),
              "tarvenloch:invalidScalar");
    EXPECT_EQ(errorOf({scalar(1), scalar(1), scalar(1), scalar(1), array(mexhostDouble, 0, 3)}),
              "tarvenloch:invalidScalar");
    for (mexhostClass cls :
         {mexhostSingle, mexhostInt32, mexhostLogical, mexhostChar, mexhostCell}) {
        EXPECT_EQ(errorOf({scalar(1), scalar(1), array(cls, 1, 1), scalar(1), scalar(1)}),
                  "tarvenloch:invalidCoefficients");
        EXPECT_EQ(errorOf({scalar(1), scalar(1), scalar(1), array(cls, 1, 1), scalar(1)}),
                  "tarvenloch:invalidCoefficients");
    }
    EXPECT_EQ(errorOf({scalar(1), scalar(1), array(mexhostDouble, 1, 2, true), doubles({1, 1}),
                       scalar(2)}),
              "tarvenloch:invalidCoefficients");
    EXPECT_EQ(errorOf({scalar(1), scalar(1), doubles({1, 1}),
                       array(mexhostDouble, 1, 2, false, true), scalar(2)}),
              "tarvenloch:invalidCoefficients");
    EXPECT_EQ(errorOf({scalar(1), scalar(1), doubles({1, 2}), doubles({1, 2, 3}), scalar(3)}),
              "tarvenloch:tooFewElements");
    EXPECT_EQ(errorOf({scalar(1), scalar(1), doubles({1, 2, 3}), doubles({}), scalar(1)}),
              "tarvenloch:tooFewElements");
    EXPECT_EQ(errorOf({scalar(1), scalar(1), doubles({1}), doubles({1}), scalar(2147483647.0)}),
              "tarvenloch:tooFewElements");
}

TEST_F(Gateway, RandomCallsMatchTheLiteralComputationToTheBit) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 3000; ++trial) {
        const Problem problem =
            randomProblem(rng, std::uniform_int_distribution<int32_t>(0, 12)(rng), 10);
        const double expected = reference::minimize(problem.a, problem.b, problem.p.data(),
                                                    problem.q.data(), problem.n());
        const double got = value({scalar(problem.a), scalar(problem.b), doubles(problem.p),
                                  doubles(problem.q), scalar(problem.n())});
        ASSERT_EQ(bitsOf(expected), bitsOf(got)) << "trial " << trial;
    }
}

}  // namespace
