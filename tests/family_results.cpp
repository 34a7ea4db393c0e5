// Prints problems of every adversarial family (families.h) with the C
// interface's result, for the Python package's tests to reproduce bit for
// bit. One problem a line, every double as the 16 hex digits of its bits:
//
//   FAMILY N a b p[0] ... p[N-1] q[0] ... q[N-1] result
//
// Sizes reach both sides of the switch to pruning (52 breakpoints) and of
// the stack scratch's end (130 terms).
//   family_results [SEED] > problems.txt
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "families.h"
#include "tarvenloch.h"

int main(int argc, char **argv) {
    std::mt19937_64 rng(argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1);
    const int32_t sizes[] = {0, 1, 2, 3, 5, 8, 10, 16, 33, 51, 52, 53, 64, 100, 130, 131, 257};
    for (int family = 0; family < static_cast<int>(Family::Count); ++family) {
        for (int32_t n : sizes) {
            for (int repeat = 0; repeat < 3; ++repeat) {
                const Problem problem = familyProblem(static_cast<Family>(family), n, rng);
                double u = 0;
                if (!minimizeOverBreakpoints(&u, problem.a, problem.b, problem.p.data(),
                                             problem.q.data(), n)) {
                    return 1;
                }
                std::printf("%s %d %016" PRIx64 " %016" PRIx64,
                            familyName(static_cast<Family>(family)), static_cast<int>(n),
                            bitsOf(problem.a), bitsOf(problem.b));
                for (double p : problem.p) std::printf(" %016" PRIx64, bitsOf(p));
                for (double q : problem.q) std::printf(" %016" PRIx64, bitsOf(q));
                std::printf(" %016" PRIx64 "\n", bitsOf(u));
            }
        }
    }
    return 0;
}
