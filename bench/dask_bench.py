"""tarvenloch.dask on a cluster against one minimize_batch call (make bench
runs it after python_bench.py).

10^6 problems of 10 terms: tarvenloch.dask.minimize_batch on a
dask.distributed LocalCluster of 2 worker processes of one thread each,
against one tarvenloch.minimize_batch call on 2 threads. The inputs are
already on the workers (persisted), each chunk of problems' a, P and Q on
one worker, as when they come from one computation; the Dask path's time
runs from making the graph to the results gathered into this process. Then
the same with a, P and Q persisted apart, whose chunks Dask spreads over the
workers without regard to one another, so that workers fetch chunks from
each other.

Both sides take turns, REPEATS times, in the same run; the medians and their
ratios are printed.
"""

import numpy as np

import dask.array as da
from distributed import Client, LocalCluster, get_task_stream, wait

import tarvenloch
import tarvenloch.dask
from python_bench import REPEATS, normal_problems, side_by_side

K, TERMS = 1_000_000, 10
CHUNKINGS = (8, 2, 32)  # chunks of problems, the first for the goal


def together(client, a, P, Q, chunks):
    """a, P and Q on the workers, each chunk of problems' on one worker."""
    rows = -(-K // chunks)
    stacked = da.from_array(np.column_stack([a, P, Q]), chunks=(rows, -1))
    parts = (stacked[:, 0], stacked[:, 1 : 1 + TERMS], stacked[:, 1 + TERMS :])
    return client.persist([part.map_blocks(np.ascontiguousarray) for part in parts])


def apart(client, a, P, Q, chunks):
    rows = -(-K // chunks)
    return client.persist([da.from_array(x, chunks=(rows,) + x.shape[1:]) for x in (a, P, Q)])


def main():
    a, P, Q = normal_problems(np.random.default_rng(2027), K, TERMS)
    expected = tarvenloch.minimize_batch(a, 1.0, P, Q, threads=2).view(np.uint64)
    setups = [(together, chunks) for chunks in CHUNKINGS] + [(apart, CHUNKINGS[0])]
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        runs = []
        for persist, chunks in setups:
            inputs = persist(client, a, P, Q, chunks)
            wait(inputs)

            def run(x=inputs):  # the graph made, computed and gathered
                return tarvenloch.dask.minimize_batch(x[0], 1.0, x[1], x[2]).compute()

            assert np.array_equal(run().view(np.uint64), expected)
            runs.append(run)
        with get_task_stream(client) as stream:
            spent = side_by_side(lambda: tarvenloch.minimize_batch(a, 1.0, P, Q, threads=2), *runs)
        # Every run solved its chunks afresh: no result was left over from the run before.
        solved = sum(str(task["key"]).startswith("('minimize_batch-") for task in stream.data)
        assert solved == REPEATS * sum(chunks for _, chunks in setups), solved
    print(f"tarvenloch.dask, n = {TERMS}, K = {K}, on a LocalCluster of 2 worker processes, "
          f"against one minimize_batch call on 2 threads ({spent[0] * 1e3:.0f} ms; median of "
          f"{REPEATS}, in turns)")
    for (persist, chunks), seconds in zip(setups, spent[1:]):
        print(f"  {chunks} chunks, a, P and Q persisted {persist.__name__}: "
              f"{seconds * 1e3:.0f} ms, {seconds / spent[0]:.2f}x the call (goal: at most 2x)")


if __name__ == "__main__":
    main()
