"""The Python interface: the batch against a loop of single calls, the
errors and what they leave behind, the GIL, and the help and stubs."""

import ast
import doctest
import gc
import inspect
import sys
import threading
import time
import tracemalloc
from functools import partial
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import tarvenloch
from tarvenloch import minimize, minimize_batch


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def each(x, count, dims):
    """x's share of each of count problems: x itself when it has fewer than
    dims dimensions, its only entry (row) when it has one, else entry i."""
    x = np.asarray(x)
    if x.ndim < dims:
        return [x] * count
    return [x[0]] * count if len(x) == 1 else list(x)


def loop(a, b, P, Q, n, count):
    """minimize_batch written as a loop of minimize."""
    ns = [None] * count if n is None else each(n, count, 1)
    return [minimize(*problem) for problem in zip(
        each(a, count, 1), each(b, count, 1), each(P, count, 2), each(Q, count, 2), ns)]


awkward = st.one_of(st.floats(), st.sampled_from(
    [0.0, -0.0, 1e-10, -1e-10, np.nextafter(1e-10, 1), 1e10, 3e10, 1e200, 1.0, 2.0]))

# How an array reaches the package: as it is, in Fortran order, with
# negative strides, with rows apart in a wider array, with its elements
# apart (a copy is due), or as a list.
layouts = [
    lambda x: x,
    np.asfortranarray,
    lambda x: x[::-1].copy()[::-1],
    lambda x: np.concatenate([x, np.zeros_like(x)], axis=-1)[..., : x.shape[-1]],
    lambda x: np.repeat(x, 2, axis=-1)[..., ::2],
    lambda x: x.tolist() if x.size else x,  # an empty list would lose the shape
]


@st.composite
def batches(draw):
    count = draw(st.integers(0, 6))
    terms = draw(st.integers(0, 5))
    per = [draw(st.booleans()) for _ in range(5)]  # which inputs hold one entry per problem

    def array(per_problem, shared_shape, shape):
        shape = shape if per_problem else shared_shape
        values = draw(st.lists(awkward, min_size=int(np.prod(shape)), max_size=int(np.prod(shape))))
        x = np.array(values).reshape(shape)
        return draw(st.sampled_from(layouts))(x) if x.ndim else x

    a = array(per[0], (), (count,))
    b = array(per[1], (1,), (count,))
    P = array(per[2], (terms,), (count, terms))
    Q = array(per[3], (1, terms), (count, terms))
    n = draw(st.lists(st.integers(-2, terms), min_size=count, max_size=count) if per[4]
             else st.none() | st.integers(-2, terms))
    return a, b, P, Q, n, count if any(per) else 1


@settings(max_examples=400, deadline=None)
@given(batches(), st.sampled_from([0, 1, 2, 3, None]))
def test_batch_is_a_loop_of_single_calls(batch, threads):
    a, b, P, Q, n, count = batch
    U = minimize_batch(a, b, P, Q, n, threads)
    assert U.shape == (count,) and U.dtype == np.float64
    assert np.array_equal(bits(U), bits(loop(a, b, P, Q, n, count)))


def test_batches_large_enough_for_threads_agree_on_any_count():
    rng = np.random.default_rng(5)
    K = 3000
    P, Q = rng.standard_normal((K, 60)), rng.standard_normal((K, 60))
    n = rng.integers(0, 61, K)
    one = minimize_batch(0.5, 1.5, P, Q, n, threads=1)
    for threads in (0, 2, 7):
        assert np.array_equal(bits(minimize_batch(0.5, 1.5, P, Q, n, threads)), bits(one))
    assert np.array_equal(bits(one[::97]), bits(loop(0.5, 1.5, P[::97], Q[::97], n[::97], 31)))


def test_inputs_convert_as_numpy_converts_them():
    p, q = np.array([1.0, -2.0, 3.0]), np.array([4.0, 1.0, -2.0])
    u = minimize(0.5, 1.0, p, q)
    for same in [(np.float32(0.5), True, p.astype(np.float32), q.astype(np.int64)),
                 (np.array(0.5), 1, p.tolist(), q.astype(">f8")),
                 (0.5, np.uint8(1), p.astype(np.longdouble), q, np.int64(3)),
                 (0.5, 1, np.append(p, 9), np.append(q, 9), 3.0),
                 (0.5, 1, p.tolist() + [2**70], q.tolist() + [-2**70], 3)]:
        assert bits(minimize(*same)) == bits(u)


BIG = np.linspace(-1, 1, 2000)  # large enough that a leaked copy shows
ERRORS = [
    (minimize, (1, 1, BIG + 1j, BIG), TypeError, "minimize: p must hold real numbers"),
    (minimize, (1, 1, BIG.tolist(), [None] * 2000), TypeError, "q must hold real numbers"),
    (minimize, ("1", 1, BIG, BIG), TypeError, "a must hold real numbers"),
    (minimize, (1, 2j, BIG, BIG), TypeError, "b must hold real numbers"),
    (minimize, (BIG, 1, BIG, BIG), ValueError, "a must be a scalar; got an array of shape (2000,)"),
    (minimize, (1, 1, BIG.reshape(2, -1), BIG), ValueError,
     "p must be a scalar or one-dimensional"),
    (minimize, (1, 1, 1.0, BIG), ValueError, "p has 1 elements but q has 2000"),
    (minimize, (1, 1, BIG, BIG[1:]), ValueError, "p has 2000 elements but q has 1999"),
    (minimize, (1, 1, BIG, BIG[1:].tolist(), 2000), ValueError,
     "minimize: q has 1999 elements, but n = 2000 terms were asked for."),
    (minimize, (1, 1, BIG, BIG, 2.5), ValueError, "minimize: n must be a whole number; got 2.5."),
    (minimize, (1, 1, BIG, BIG, float("nan")), ValueError, "n must be a whole number; got nan."),
    (minimize, (1, 1, BIG, BIG, float("-inf")), ValueError, "n must be a whole number; got -inf."),
    (minimize, (1, 1, BIG, BIG, 10**30), ValueError,
     "n = 1000000000000000000000000000000 terms were asked for."),
    (minimize, (1, 1, BIG, BIG, "3"), TypeError, "n must hold real numbers"),
    (minimize, (1, 1, BIG), TypeError, "missing required argument 'q'"),
    (minimize, (1, 1, BIG, BIG, 3, 4), TypeError, "takes at most 5 arguments"),
    (partial(minimize, m=3), (1, 1, BIG, BIG), TypeError, "unexpected keyword argument 'm'"),
    (partial(minimize, a=3), (1, 1, BIG, BIG), TypeError, "multiple values for argument 'a'"),
    (minimize_batch, ([1, 2], [1, 2, 3], BIG, BIG), ValueError,
     "minimize_batch: a has 2 elements but b has 3 elements; each must have 1 or as many as "
     "there are problems."),
    (minimize_batch, (BIG[:2], 1, BIG.reshape(4, -1), BIG), ValueError,
     "a has 2 elements but P has 4 rows"),
    (minimize_batch, (1, 1, BIG.reshape(2, -1), BIG.reshape(4, -1)[:2], 600), ValueError,
     "minimize_batch: Q has 500 columns, but n = 600 terms were asked for; each row holds "
     "one problem's terms."),
    (minimize_batch, (1, 1, BIG.reshape(2, -1), BIG.reshape(4, -1)[:2]), ValueError,
     "P has 1000 columns but Q has 500"),
    (minimize_batch, (1, 1, BIG, BIG, 1e300), ValueError, "n = 1e+300 terms were asked for"),
    (minimize_batch, (1, 1, BIG, BIG, [3, 2**70]), ValueError,
     "n = 1.1805916207174113e+21 terms were asked for"),
    (minimize_batch, (1, 1, BIG, BIG, [3, 0.5]), ValueError,
     "minimize_batch: n must hold whole numbers; n[1] is 0.5."),
    (minimize_batch, (1, 1, BIG, BIG, BIG.reshape(2, -1)), ValueError,
     "n must be a scalar or one-dimensional"),
    (minimize_batch, (1, 1, BIG.reshape(2, 2, -1), BIG), ValueError,
     "P must be one- or two-dimensional"),
    (minimize_batch, (1, 1, BIG, BIG.astype(complex)), TypeError, "Q must hold real numbers"),
    (minimize_batch, (1, 1, BIG, BIG, None, -1), ValueError,
     "minimize_batch: threads must be 0 (every processor this process may use) or a "
     "positive whole number; got -1."),
    (minimize_batch, (1, 1, BIG, BIG, None, 1.5), ValueError,
     "threads must be a whole number; got 1.5."),
    (minimize_batch, (1, 1, BIG, BIG, None, "2"), TypeError, "threads must hold real numbers"),
    (minimize_batch, (1, 1, BIG, BIG, None, 1, 2), TypeError, "takes at most 6 arguments"),
]


@pytest.mark.parametrize("function, args, error, message", ERRORS)
def test_each_error_and_no_leak(function, args, error, message):
    with pytest.raises(error) as raised:
        function(*args)
    assert message in str(raised.value)
    del raised  # its traceback holds the arguments

    def call():
        try:
            function(*args)
        except error:
            pass

    # Neither a reference to an input nor a converted copy may outlive the call.
    call()
    gc.collect()
    inputs = [arg for arg in args if isinstance(arg, (np.ndarray, list))]
    references = [sys.getrefcount(arg) for arg in inputs]
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(300):
        call()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert [sys.getrefcount(arg) for arg in inputs] == references
    assert grown < 20000


@pytest.mark.skipif(not hasattr(time, "pthread_getcpuclockid"), reason="needs thread CPU clocks")
def test_two_threads_solve_batches_at_once():
    """While this thread is inside a long batch, a second thread's own batches
    go on: its CPU clock moves. Had the call kept the GIL, the second thread
    could not run during it, but for a switch interval at either end."""
    rng = np.random.default_rng(3)
    p, q = 4 * rng.standard_normal(60), 8 * rng.standard_normal(60)
    long_a, short_a = rng.standard_normal(200_000), rng.standard_normal(300)
    done = threading.Event()
    started = threading.Event()

    def other():
        started.set()
        while not done.is_set():
            minimize_batch(short_a, 1.0, p, q, threads=1)

    worker = threading.Thread(target=other)
    worker.start()
    started.wait()
    try:
        clock = time.pthread_getcpuclockid(worker.ident)
        other_before, own_before = time.clock_gettime(clock), time.thread_time()
        minimize_batch(long_a, 1.0, p, q, threads=1)
        other_cpu = time.clock_gettime(clock) - other_before
        own_cpu = time.thread_time() - own_before
    finally:
        done.set()
        worker.join()
    assert own_cpu > 0.1
    assert other_cpu > 0.25 * own_cpu


def test_help_examples_run_and_stubs_match():
    runner = doctest.DocTestRunner()
    for function in (minimize, minimize_batch):
        for test in doctest.DocTestFinder().find(function, globs=vars(tarvenloch)):
            runner.run(test)
    assert runner.failures == 0 and runner.tries >= 5
    stubs = ast.parse((Path(tarvenloch.__file__).parent / "_tarvenloch.pyi").read_text())
    for node in stubs.body:
        if isinstance(node, ast.FunctionDef):
            runtime = inspect.signature(getattr(tarvenloch, node.name)).parameters
            assert [arg.arg for arg in node.args.args] == list(runtime)
            defaults = [ast.literal_eval(d) for d in node.args.defaults]
            assert defaults == [p.default for p in runtime.values() if p.default is not p.empty]
    assert (Path(tarvenloch.__file__).parent / "py.typed").exists()
