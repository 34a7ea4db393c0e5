"""tarvenloch.dask against minimize_batch on the whole arrays, bit for bit:
any chunking, the threaded scheduler and a two-process cluster, the errors
and when they are raised, and the import without Dask."""

import doctest
import pickle
import subprocess
import sys

import dask
import dask.array as da
import distributed
import numpy as np
import pytest

import tarvenloch
import tarvenloch.dask

K, M = 100, 12
rng = np.random.default_rng(27)
A, P, Q = rng.standard_normal(K), 4 * rng.standard_normal((K, M)), 8 * rng.standard_normal((K, M))
N = rng.integers(-1, M + 1, K)
A[7], P[3, 5], Q[5, 2], P[9, 0] = np.inf, np.nan, -np.inf, np.inf  # rows of NaN and Inf
B = np.where(np.arange(K) == 11, np.nan, 1.3)


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def lazily(args, chunks):
    """args with those given chunks (not None) as Dask arrays."""
    return [x if c is None else da.from_array(np.asarray(x), chunks=c)
            for x, c in zip(args, chunks)]


def never_computed(*args, **kwargs):
    pytest.fail("a graph was computed while U was made")


# (a, b, P, Q, n), their chunks (None: NumPy), and U's chunks.
CASES = {
    "uneven rows, a one-row chunk, terms split, every input Dask": (
        (A, B, P, Q, N), (30, ((1, 99),), ((1, 37, 62), (5, 7)), (50, 12), ((60, 40),)),
        ((1, 37, 62),)),
    "shared terms split into chunks, Dask scalars": (
        (A, np.float64(0.7), P[4], Q[4:5], np.int64(9)), (7, (), 5, None, ()),
        ((7,) * 14 + (2,),)),
    "NumPy only, n omitted": ((A, 1.0, P, Q, None), (None,) * 5, ((K,),)),
    "no problems, n past the columns": ((A[:0], 1.0, P[:0], Q[0], 30), (5, None, None, 4, None),
                                        ((0,),)),
    "one problem, every input shared": ((0.3, 1.0, P[0], Q[0], None), (None, None, 4, None, None),
                                        ((1,),)),
}


def built(case):
    args, chunks, _ = CASES[case]
    with dask.config.set(scheduler=never_computed):
        U = tarvenloch.dask.minimize_batch(*lazily(args, chunks))
    return U, tarvenloch.minimize_batch(*args)


@pytest.mark.parametrize("case", CASES)
def test_threaded_scheduler_gives_minimize_batchs_bits(case):
    U, expected = built(case)
    assert U.chunks == CASES[case][2] and U.dtype == np.float64
    assert np.array_equal(bits(U.compute(scheduler="threads")), bits(expected))


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # Debian's tornado and distributed
def test_cluster_of_two_worker_processes_gives_the_same_bits():
    for function in (tarvenloch.minimize, tarvenloch.minimize_batch):
        assert pickle.loads(pickle.dumps(function)) is function
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        graphs, expected = zip(*(built(case) for case in CASES))
        for U, want in zip(client.gather(client.compute(list(graphs))), expected):
            assert np.array_equal(bits(U), bits(want))


N_FRACTION = np.where(np.arange(K) == 77, np.nan, N)
N_TOO_LARGE = np.where(np.arange(K) == 77, M + 1, N)
N_HUGE = np.where(np.arange(K) == 77, 1e300, N)
N_MINUS_INF = np.where(np.arange(K) == 77, -np.inf, N)
BIG = [2**70] + list(A[1:])  # an object array, of numbers only
# (a, b, P, Q, n, threads), their chunks, and whether the error waits for the
# computation (counts of n from a Dask array).
ERRORS = [
    ((A, 1, P[:99], Q, N, 1), (10, None, 40, None, None, None), False),
    ((A, 1, P, Q[:, :11], None, 1), (None, None, None, (50, 3), None, None), False),
    ((A, 1, P, Q, N_TOO_LARGE, 1), (10, None, None, None, None, None), False),
    ((A, 1, P, Q, N_FRACTION, 1), (10, None, None, None, None, None), False),
    ((A, 1, P, Q, 2.5, 1), (10, None, None, None, None, None), False),
    ((A, 1, P, Q, np.inf, 1), (10, None, None, None, None, None), False),
    ((A, 1, P, Q, N_HUGE, 1), (10, None, None, None, None, None), False),
    ((A, 1, P, Q, 10**30, 1), (10, None, None, None, None, None), False),
    ((BIG, BIG, P, Q, N_TOO_LARGE, 1), (10, None, None, None, None, None), False),
    ((A, 1, P, Q[:, :11], 12, 1), (10, None, None, None, None, None), False),
    ((A, 1, P.reshape(K, 3, 4), Q, None, 1), (None, None, 10, None, None, None), False),
    ((A.reshape(10, 10), 1, P, Q, None, 1), (5, None, None, None, None, None), False),
    ((A, 1, P, Q + 1j, None, 1), (None, None, None, 10, None, None), False),
    ((A, 1, P, Q, None, -1), (10, None, None, None, None, None), False),
    ((A, 1, P[:99], Q, N, None), (10, None, None, None, None, None), False),
    ((A, 1, P, Q, N_FRACTION, 1), (None, None, None, None, 30, None), True),
    ((A, 1, P, Q, N_TOO_LARGE, 1), (None, None, None, None, 30, None), True),
    ((A, 1, P, Q, N_MINUS_INF, 1), (None, None, None, None, 30, None), True),
    ((A, 1, P, Q, 2.5, 1), (None, None, None, None, (), None), True),
]


@pytest.mark.parametrize("args, chunks, at_compute", ERRORS)
def test_errors_are_minimize_batchs_raised_when_u_is_made(args, chunks, at_compute):
    with pytest.raises((TypeError, ValueError)) as whole:
        tarvenloch.minimize_batch(*args)
    with pytest.raises(whole.type) as chunked:
        with dask.config.set(scheduler=never_computed):
            U = tarvenloch.dask.minimize_batch(*lazily(args, chunks))
        assert at_compute, "no error while U was made"
        U.compute(scheduler="threads")
    assert str(chunked.value) == str(whole.value)


def test_unknown_chunk_sizes_help_and_import_without_dask():
    a = da.from_array(A, chunks=10)
    with pytest.raises(ValueError, match="a has chunks of unknown size"):
        tarvenloch.dask.minimize_batch(a[a > 0], 1, P[0], Q[0])
    assert doctest.testmod(tarvenloch.dask).failed == 0
    # Without Dask: tarvenloch works, and tarvenloch.dask says what to install.
    code = ("import sys; sys.modules['dask'] = None; import tarvenloch; "
            "print(tarvenloch.minimize(0.3, 1, [1], [-2])); import tarvenloch.dask")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.stdout == "-0.7\n" and run.returncode != 0
    assert "ImportError: tarvenloch.dask needs Dask" in run.stderr
    assert "python3-dask" in run.stderr and "python3-distributed" in run.stderr
