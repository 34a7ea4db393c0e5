// The same bits on another processor: one build writes a corpus of problems
// with the literal computation's results, another solves them with every
// strategy and in batches and counts the results that differ in any bit.
//   corpus_check write FILE COUNT SEED   (on x86-64: the expected bits)
//   corpus_check check FILE              (on the processor under test)
// The checking side uses only the C library, so that a cross build needs no
// C++ runtime beyond its headers.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "tarvenloch.h"

namespace {

// One problem as stored: n, then a, b and the expected result, then p and q.
struct Stored {
    int32_t n;
    double a, b, expected;
    const double *p, *q;
};

bool sameBits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

struct Tally {
    int64_t solves = 0, differences = 0;
    void record(const char *what, int64_t index, const Stored &problem, double u) {
        ++solves;
        if (sameBits(u, problem.expected)) return;
        if (++differences <= 10) {
            uint64_t got, want;
            std::memcpy(&got, &u, sizeof got);
            std::memcpy(&want, &problem.expected, sizeof want);
            std::printf("DIFFERS: problem %" PRId64 " (n = %d), %s: %016" PRIx64
                        " instead of %016" PRIx64 "\n",
                        index, problem.n, what, got, want);
        }
    }
};

int check(const char *path) {
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::printf("cannot open %s\n", path);
        return 2;
    }
    std::fseek(file, 0, SEEK_END);
    const long bytes = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    char *data = static_cast<char *>(std::malloc(bytes));
    if (data == nullptr || std::fread(data, 1, bytes, file) != static_cast<size_t>(bytes)) {
        std::printf("cannot read %s\n", path);
        return 2;
    }
    std::fclose(file);

    // The problems, in order, and the batches: runs of consecutive problems
    // padded to the longest one's n.
    constexpr int64_t kBatch = 64;
    const char *const end = data + bytes;
    Stored *problems = nullptr;
    int64_t count = 0, room = 0, maxN = 0;
    for (const char *at = data; at < end; ++count) {
        if (count == room) {
            room = room * 2 + 1024;
            problems = static_cast<Stored *>(std::realloc(problems, room * sizeof(Stored)));
        }
        Stored &problem = problems[count];
        std::memcpy(&problem.n, at, sizeof problem.n);
        double head[3];
        std::memcpy(head, at + 8, sizeof head);
        problem.a = head[0];
        problem.b = head[1];
        problem.expected = head[2];
        problem.p = reinterpret_cast<const double *>(at + 32);
        problem.q = problem.p + problem.n;
        at += 32 + 16 * static_cast<int64_t>(problem.n);
        if (problem.n > maxN) maxN = problem.n;
    }

    using tarvenloch::Strategy;
    // The batch takes the automatic choice among these.
    const struct {
        Strategy strategy;
        const char *name;
    } strategies[] = {{Strategy::FullScan, "full"},
                      {Strategy::Pruned, "pruned"},
                      {Strategy::PrunedCarried, "carried"}};
    Tally tally;
    tarvenloch::Workspace workspace;
    const tarvenloch::ScanLevel level = tarvenloch::selectedScanLevel();
    for (int64_t i = 0; i < count; ++i) {
        const Stored &problem = problems[i];
        for (const auto &each : strategies) {
            double u = 0;
            tarvenloch::minimize({level, each.strategy}, workspace, &u, problem.a, problem.b,
                                 problem.p, problem.q, problem.n);
            tally.record(each.name, i, problem, u);
        }
    }

    double *columns = static_cast<double *>(std::malloc(2 * kBatch * (maxN + 1) * sizeof(double)));
    double a[kBatch], b[kBatch], results[kBatch];
    int32_t n[kBatch];
    for (int64_t first = 0; first < count; first += kBatch) {
        const int64_t size = count - first < kBatch ? count - first : kBatch;
        int64_t rows = 1;
        for (int64_t j = 0; j < size; ++j) {
            if (problems[first + j].n > rows) rows = problems[first + j].n;
        }
        double *P = columns, *Q = columns + kBatch * rows;
        for (int64_t j = 0; j < size; ++j) {
            const Stored &problem = problems[first + j];
            a[j] = problem.a;
            b[j] = problem.b;
            n[j] = problem.n;
            std::memcpy(P + j * rows, problem.p, problem.n * sizeof(double));
            std::memcpy(Q + j * rows, problem.q, problem.n * sizeof(double));
        }
        // Every other batch on two threads, the rest in the calling thread.
        minimizeBatch(results, size, a, 1, b, 1, P, rows, Q, rows, n, 1, first / kBatch % 2 + 1);
        for (int64_t j = 0; j < size; ++j) {
            tally.record("minimizeBatch", first + j, problems[first + j], results[j]);
        }
    }
    std::printf("%" PRId64 " problems, %" PRId64 " solves (full, pruned, carried, batch): %" PRId64
                " differ\n",
                count, tally.solves, tally.differences);
    std::free(columns);
    std::free(problems);
    std::free(data);
    return tally.differences == 0 ? 0 : 1;
}

}  // namespace

#if defined(TARVENLOCH_CORPUS_WRITER)
#include <random>
#include <vector>

#include "families.h"
#include "reference.h"

namespace {

// Every family of tests/families.h and random awkward values in turn; most
// problems small, every twentieth past the size where pruning starts, a
// few large enough for the full scan to drop repeated intervals (from 256
// breakpoints). Kept small: the emulator runs the ARM build's arithmetic
// a few hundred times slower than the processor.
int write(const char *path, int64_t count, uint64_t seed) {
    std::mt19937_64 rng(seed);
    FILE *file = std::fopen(path, "wb");
    if (file == nullptr) return 2;
    const int families = static_cast<int>(Family::Count);
    for (int64_t i = 0; i < count; ++i) {
        const int32_t n = i % 1000 == 0 ? 256 + static_cast<int32_t>(rng() % 64)
                          : i % 20 == 0 ? 41 + static_cast<int32_t>(rng() % 80)
                                        : static_cast<int32_t>(rng() % 41);
        const int kind = static_cast<int>(i % (families + 1));
        const Problem problem = kind < families ? familyProblem(static_cast<Family>(kind), n, rng)
                                                : randomProblem(rng, n, 20);
        const double head[3] = {
            problem.a, problem.b,
            reference::minimize(problem.a, problem.b, problem.p.data(), problem.q.data(), n)};
        const int32_t header[2] = {n, 0};
        std::fwrite(header, sizeof header, 1, file);
        std::fwrite(head, sizeof head, 1, file);
        std::fwrite(problem.p.data(), sizeof(double), n, file);
        std::fwrite(problem.q.data(), sizeof(double), n, file);
    }
    return std::fclose(file) == 0 ? 0 : 2;
}

}  // namespace
#endif

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "check") == 0) return check(argv[2]);
#if defined(TARVENLOCH_CORPUS_WRITER)
    if (argc == 5 && std::strcmp(argv[1], "write") == 0) {
        return write(argv[2], std::atoll(argv[3]), std::strtoull(argv[4], nullptr, 10));
    }
#endif
    std::fprintf(stderr, "usage: corpus_check write FILE COUNT SEED | check FILE\n");
    return 2;
}
