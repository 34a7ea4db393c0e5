"""The Python package's benchmarks (make bench runs them after make python).

- minimize at n = 10: the cost of one call;
- minimize_batch at n = 10, K = 100,000 against a Python loop of minimize;
- minimize at n = 1000 against the computation transcribed into NumPy's
  whole-array operations, and how often that transcription's result differs
  from the package's (the literal computation's) in the last bits.

Each comparison times both sides in turns, in the same run, and reports the
medians of the repetitions and their ratio.
"""

import statistics
import time

import numpy as np

from tarvenloch import minimize, minimize_batch

REPEATS = 7


def normal_problems(rng, count, n):
    """The benchmarks' "normal" family: a kink for every term, b = 1."""
    return rng.standard_normal(count), 4 * rng.standard_normal((count, n)), 8 * rng.standard_normal((count, n))


def transcription(a, b, p, q, in_order=False):
    """The computation written out with NumPy's whole-array operations.

    Every elementwise step is the literal one, rounded alike. The slopes and
    sums are numpy.sum over the terms: over the last, contiguous axis NumPy
    adds pairwise (eight running sums, then halves), not in index order.
    With in_order, the terms run down the first axis instead, where NumPy
    adds one row after another, from 0, in index order.
    """
    kinks = (p > 1e-10) | (p < -1e-10)
    r = q[kinks] / p[kinks]
    s = np.sort(np.where(r > 0, r, -r))
    if s.size == 0:
        return a
    g = np.concatenate(([-1e10], -s[::-1], s, [1e10]))
    o = (g[:-1] + g[1:]) * 0.5
    if in_order:
        pk, qk = p[:, None], q[:, None]
        x = pk * o + qk
        t = np.where(x >= 0, pk, -pk).sum(axis=0, initial=0.0)
        u = t * b + a
        y = u * pk + qk
        v = np.where(y >= 0, y, -y).sum(axis=0, initial=0.0)
    else:
        x = o[:, None] * p + q
        t = np.where(x >= 0, p, -p).sum(axis=1)
        u = t * b + a
        y = u[:, None] * p + q
        v = np.where(y >= 0, y, -y).sum(axis=1)
    f = ((u - a) * 0.5) * (u - a) - v * b
    scored = f < 1e100  # NaN never wins
    if not scored.any():
        return 1e8
    return u[np.argmin(np.where(scored, f, np.inf))]  # the first of equal scores


def seconds(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def side_by_side(*runs):
    """Median seconds of each run, the runs taking turns REPEATS times."""
    times = [[] for _ in runs]
    for _ in range(REPEATS):
        for run, spent in zip(runs, times):
            spent.append(seconds(run))
    return [statistics.median(spent) for spent in times]


def single_call(rng):
    a, P, Q = normal_problems(rng, 1, 10)
    a, p, q = float(a[0]), P[0], Q[0]
    lists = p.tolist(), q.tolist()
    calls = 20000

    def arrays():
        for _ in range(calls):
            minimize(a, 1.0, p, q)

    def converted():
        for _ in range(calls):
            minimize(a, 1.0, *lists)

    spent = side_by_side(arrays, converted)
    print(f"minimize, n = 10: {spent[0] / calls * 1e6:.2f} us a call with p and q arrays, "
          f"{spent[1] / calls * 1e6:.2f} us with lists (goal: at most 3 us)")


def batch_against_loop(rng):
    K = 100_000
    a, P, Q = normal_problems(rng, K, 10)

    def loop():
        for i in range(K):
            minimize(a[i], 1.0, P[i], Q[i])

    looped, batched = side_by_side(loop, lambda: minimize_batch(a, 1.0, P, Q))
    print(f"n = 10, K = {K}: loop of minimize {looped * 1e3:.1f} ms, minimize_batch "
          f"{batched * 1e3:.1f} ms: {looped / batched:.1f}x (goal: at least 50x)")


def package_against_transcription(rng):
    a, P, Q = normal_problems(rng, 3, 1000)
    for i in range(3):
        package, numpy_ = side_by_side(lambda: minimize(a[i], 1.0, P[i], Q[i]),
                                       lambda: transcription(a[i], 1.0, P[i], Q[i]))
        print(f"n = 1000, problem {i + 1}: package {package * 1e6:.0f} us, NumPy transcription "
              f"{numpy_ * 1e3:.1f} ms: {numpy_ / package:.0f}x (goal: at least 300x)")


def differences(rng):
    print("How often the NumPy transcription differs from the package (normal data, b = 1):")
    print("| n | problems | differ (pairwise sums) | differ (sums in index order) |")
    print("|---:|---:|---:|---:|")
    for n, count in ((10, 2000), (100, 1000), (1000, 100)):
        a, P, Q = normal_problems(rng, count, n)
        U = minimize_batch(a, 1.0, P, Q).view(np.uint64)
        pairwise = np.array([transcription(a[i], 1.0, P[i], Q[i]) for i in range(count)])
        ordered = np.array([transcription(a[i], 1.0, P[i], Q[i], True) for i in range(count)])
        print(f"| {n} | {count} | {np.count_nonzero(pairwise.view(np.uint64) != U)} | "
              f"{np.count_nonzero(ordered.view(np.uint64) != U)} |")


def main():
    rng = np.random.default_rng(2026)
    print("Python package (median of", REPEATS, "repetitions, both sides in turns)")
    single_call(rng)
    batch_against_loop(rng)
    package_against_transcription(rng)
    differences(rng)


if __name__ == "__main__":
    main()
