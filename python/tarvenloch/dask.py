"""minimize_batch on Dask arrays, one call per chunk of problems.

``tarvenloch.dask.minimize_batch(a, b, P, Q, n=None, threads=1)`` takes NumPy
or Dask arrays and returns a lazy Dask array of the results, chunked along
the problems, that any Dask scheduler computes: threads, processes or a
dask.distributed cluster. A problem's result depends on its own inputs
alone, so the chunks' results, joined, are bit for bit those of
tarvenloch.minimize_batch on the whole arrays.

Dask is optional: ``import tarvenloch`` does not need it; this module does.
"""

from __future__ import annotations

import math
import operator
from typing import Any, Optional, Tuple

import numpy as np
import numpy.typing as npt

try:
    import dask.array as da
    from dask.base import is_dask_collection
except ImportError as error:
    raise ImportError(
        "tarvenloch.dask needs Dask (dask.array): on Debian, apt-get install python3-dask, "
        "and python3-distributed to run it on a dask.distributed cluster; elsewhere, "
        "pip install 'dask[array]' distributed."
    ) from error

from ._tarvenloch import minimize_batch as _minimize_batch

__all__ = ["minimize_batch"]

_NAMES = ("a", "b", "P", "Q", "n")
_WHAT = ("elements", "elements", "rows", "rows", "elements")
_INT32_MAX = 2**31 - 1
_INT64_MAX = 2**63 - 1
_INT64_MIN = -(2**63)
# Shared NumPy inputs up to this size go into every chunk's task; larger ones
# are a chunk of their own, which a worker fetches once.
_IN_GRAPH_BYTES = 1 << 16


def _not_real(name: str, dtype: Any) -> TypeError:
    """minimize_batch's error for an input of a kind it does not take."""
    return TypeError(f"minimize_batch: {name} must hold real numbers (booleans, integers or "
                     f"floating point); got {dtype}.")


def _is_real(item: Any) -> bool:
    """Whether an element of an object array is a number minimize_batch
    converts: Python's bool, int or float, or NumPy's boolean, integer (not
    timedelta64) or floating scalar."""
    return isinstance(item, (int, float, np.bool_, np.floating)) or (
        isinstance(item, np.integer) and not isinstance(item, np.timedelta64))


def _real(x: Any, name: str) -> npt.NDArray[Any]:
    """x as a NumPy array of booleans, integers or floating point, as
    minimize_batch takes it: an object array holding only numbers (as a list
    with an int past 64 bits becomes) is cast to float64 as minimize_batch
    casts it (an int too large for any float raising NumPy's OverflowError);
    anything else raises minimize_batch's TypeError."""
    x = np.asarray(x)
    if x.dtype.kind == "O" and all(_is_real(item) for item in x.flat):
        x = x.astype(np.float64)
    if x.dtype.kind not in "biuf":
        raise _not_real(name, x.dtype)
    return x


def _array(x: Any, name: str) -> Any:
    """x as a Dask or a NumPy array, after minimize_batch's checks of its
    kind and number of dimensions, in minimize_batch's words. A Dask array
    of objects is let through: minimize_batch checks and converts its
    elements in each chunk, as it would on the whole array."""
    if is_dask_collection(x):
        x = da.asarray(x)
        if x.dtype.kind not in "biufO":
            raise _not_real(name, x.dtype)
    else:
        x = _real(x, name)
    if name in ("P", "Q"):
        if x.ndim not in (1, 2):
            raise ValueError(f"minimize_batch: {name} must be one- or two-dimensional; got an "
                             f"array of shape {x.shape}.")
    elif x.ndim > 1:
        raise ValueError(f"minimize_batch: {name} must be a scalar or one-dimensional; got an "
                         f"array of shape {x.shape}.")
    if any(math.isnan(size) for size in x.shape):
        raise ValueError(f"minimize_batch: {name} has chunks of unknown size; "
                         f"call {name}.compute_chunk_sizes() first.")
    return x


def _whole_number(n: Any, value: float) -> Tuple[int, Any]:
    """A shared n as minimize_batch takes it: the count, clamped to int64,
    and the number passed when it was clamped (for messages to name), else
    None. n is the n passed (an int is taken exactly); value, n as float64.
    A count that is not whole, infinities included, raises minimize_batch's
    error."""
    if isinstance(n, (int, np.integer)):
        whole = int(operator.index(n))
        count = min(max(whole, _INT64_MIN), _INT64_MAX)
        return count, (whole if count != whole else None)
    if not np.trunc(value) == value or math.isinf(value):
        raise ValueError(f"minimize_batch: n must be a whole number; got {value!r}.")
    if -9.2e18 < value < 9.2e18:
        return int(value), None
    return (_INT64_MAX if value > 0 else _INT64_MIN), value


def _largest_count(n: npt.NDArray[Any], start: int) -> Tuple[int, Optional[float]]:
    """The largest of n's counts of terms, n <= 0 counting 0, clamped to
    int64, and the first count past int64's range as passed (for messages
    to name), else None. A count that is not whole (NaN and infinities
    included) raises minimize_batch's error, naming its index in the whole
    n, of which this part starts at index start."""
    n = np.asarray(n, dtype=np.float64)
    wrong = np.flatnonzero(~np.isfinite(n) | (np.trunc(n) != n))
    if wrong.size:
        i = int(wrong[0])
        raise ValueError(f"minimize_batch: n must hold whole numbers; n[{start + i}] is "
                         f"{float(n[i])!r}.")
    huge = np.flatnonzero(n >= 9.2e18)
    if huge.size:
        return _INT64_MAX, float(n[huge[0]])
    return (max(0, int(n.max())) if n.size else 0), None


def _solve_chunk(a, b, P, Q, n, start, threads):
    """One chunk of problems, in one minimize_batch call. start is the
    chunk's first problem when n holds a count per problem from a Dask
    array: its counts are checked here, so that an error names the index
    in the whole n, after the inputs' kinds, which minimize_batch checks
    first."""
    if start is not None and start.size:
        a, b, P, Q, n = (_real(x, name) for x, name in zip((a, b, P, Q, n), _NAMES))
        _largest_count(n, int(start[0]))
    return _minimize_batch(a, b, P, Q, n, threads)


def minimize_batch(
    a: Any, b: Any, P: Any, Q: Any, n: Optional[Any] = None, threads: Any = 1
) -> da.Array:
    """Many minimize problems as a lazy Dask array, one minimize_batch call per chunk.

    Takes the arguments of tarvenloch.minimize_batch, as NumPy or Dask arrays
    (or anything numpy.asarray takes), and returns a Dask array U of shape
    (K,), chunked along the problems. Computed by any scheduler (threads,
    processes or a dask.distributed cluster), U is bit for bit
    tarvenloch.minimize_batch(a, b, P, Q, n) on the whole arrays, whatever
    their chunks.

    Parameters
    ----------
    a, b : real scalar or array_like, one-dimensional
        One value for every problem, or one per problem.
    P, Q : array_like, one- or two-dimensional
        Row i of a two-dimensional P and Q holds problem i's terms; a
        one-dimensional P or Q (or one with a single row) is shared by every
        problem.
    n : int or array_like of whole numbers, optional
        One count of terms for every problem, or one per problem; when
        omitted, every column of P and Q is a term.
    threads : int or None, optional
        The threads of each chunk's minimize_batch call. The default, 1
        (None too, as for an omitted n), solves a chunk in the worker thread
        that runs it: Dask's workers already run one thread per core between
        them, and more threads would only compete for the same cores. 0
        means one per processor the worker process may use, for workers that
        run fewer threads than they have cores.

    K, the number of problems, follows minimize_batch's rule: of len(a),
    len(b), the rows of P and Q and len(n), every count that is not 1 must
    be the same number, K.

    Returns
    -------
    U : dask.array.Array of float64, shape (K,)
        U's chunks are the row chunks of the first Dask array among P, Q, a,
        b and n that holds one entry per problem; the other inputs that hold
        one entry per problem are rechunked to them (NumPy ones cut into
        them), and P's and Q's terms are joined into whole rows. When no such
        input is a Dask array, U has Dask's automatic chunks (the setting
        array.chunk-size). An input shared by every problem is one chunk,
        or, from NumPy and up to 64 KiB, part of every chunk's task.

    Raises
    ------
    TypeError, ValueError, OverflowError
        When U is made, not when it is computed: minimize_batch's errors,
        in its words, for every rule that the inputs' shapes and types
        decide, for the elements of NumPy arrays and lists of objects (those
        holding only numbers, as a list with an int past 64 bits becomes,
        are converted to float64, an int too large for it raising
        OverflowError), and for n's counts when n is a NumPy array, a list
        or a number. A Dask array's shapes must be known (ValueError
        otherwise). The counts of an n from a Dask array, and the elements
        of a Dask array of objects, are checked as the chunks holding them
        are computed, with the same errors, naming the index in the whole n.
        Nothing is computed before U is.

    Examples
    --------
    >>> import dask.array as da
    >>> P = da.from_array([[1., 0.], [1., 1.], [2., -1.]], chunks=(2, 1))
    >>> U = minimize_batch(0.3, 1, P, [[-2, 0], [-1, 1], [1, 3]], [1, 2, 2])
    >>> U.chunks
    ((2, 1),)
    >>> U.compute()
    array([-0.7,  2.3, -2.7])
    """
    inputs = [_array(x, name) for x, name in zip((a, b, P, Q), _NAMES)]
    inputs.append(None if n is None else _array(n, "n"))
    # threads, checked by minimize_batch itself on one empty problem.
    _minimize_batch(0.0, 0.0, np.zeros(0), np.zeros(0), None, threads)
    if threads is None:  # this function's default, not minimize_batch's 0
        threads = 1

    def count(i: int) -> int:
        x = inputs[i]
        if x is None:
            return 1
        return x.shape[0] if x.ndim == (2 if i in (2, 3) else 1) else 1

    counts = [count(i) for i in range(5)]
    K, decided_by = 1, -1
    for i, c in enumerate(counts):
        if c == 1:
            continue
        if decided_by < 0:
            K, decided_by = c, i
        elif c != K:
            j = decided_by
            raise ValueError(
                f"minimize_batch: {_NAMES[j]} has {counts[j]} {_WHAT[j]} but {_NAMES[i]} has {c} "
                f"{_WHAT[i]}; each must have 1 or as many as there are problems.")

    columns = (inputs[2].shape[-1], inputs[3].shape[-1])
    counts_n = inputs[4]
    largest: Optional[int] = None  # None: decided by a Dask n, checked in its chunks
    passed: Any = None  # the largest n as passed, when it was clamped
    if counts_n is None:
        if columns[0] != columns[1]:
            raise ValueError(
                f"minimize_batch: P has {columns[0]} columns but Q has {columns[1]}; with n "
                f"omitted, every column is a term, so they must match.")
        largest = columns[0]
    elif isinstance(counts_n, np.ndarray):
        if counts_n.ndim == 0 or counts[4] == 1:
            # A scalar n is taken as passed, so that an int past 64 bits is
            # named exactly; a one-element array, from its float64 copy.
            value = float(np.asarray(counts_n, dtype=np.float64).reshape(-1)[0])
            largest, passed = _whole_number(n if counts_n.ndim == 0 else value, value)
            if K == 0:  # no problem asks for any term
                largest, passed = 0, None
        else:
            largest, passed = _largest_count(counts_n, 0)
    if largest is not None:
        shown = largest if passed is None else passed
        for name, width in zip(("P", "Q"), columns):
            if width < largest:
                raise ValueError(
                    f"minimize_batch: {name} has {width} columns, but n = {shown} terms were "
                    f"asked for; each row holds one problem's terms.")
        if largest > _INT32_MAX:
            raise ValueError(f"minimize_batch: n = {largest} terms is more than one problem "
                             f"may have ({_INT32_MAX}).")

    # The problems' chunks: those of the first Dask input with one entry per
    # problem, the largest first, else Dask's automatic ones.
    per_problem = [K != 1 and counts[i] == K for i in range(5)]
    order = (2, 3, 0, 1, 4)
    leader = next((i for i in order if per_problem[i] and isinstance(inputs[i], da.Array)), None)
    if leader is not None:
        rows = inputs[leader].chunks[0]
    else:
        width = max([inputs[i].shape[-1] for i in (2, 3) if per_problem[i]] + [1])
        rows = da.core.normalize_chunks(("auto", -1), (K, width), dtype=np.float64)[0]

    args: list = []
    for i, (x, letter) in enumerate(zip(inputs, "abpqn")):
        if x is None or (isinstance(x, np.ndarray) and not per_problem[i]
                         and x.nbytes <= _IN_GRAPH_BYTES):
            args += [x, None]  # in the graph itself: no task, nothing to fetch
            continue
        if per_problem[i]:
            # Whole rows: a problem's terms in one chunk.
            chunks = (rows,) + (-1,) * (x.ndim - 1)
            index = "i" + letter * (x.ndim - 1)
        else:
            chunks = -1  # shared by every chunk of problems
            index = tuple(f"{letter}{axis}" for axis in range(x.ndim))
        x = x.rechunk(chunks) if isinstance(x, da.Array) else da.from_array(x, chunks=chunks)
        args += [x, index]
    if per_problem[4] and isinstance(counts_n, da.Array):
        args += [da.arange(K, chunks=(rows,)), "i"]
    else:
        args += [None, None]
    return da.blockwise(_solve_chunk, "i", *args, threads=threads, dtype=np.float64,
                        meta=np.empty((0,), np.float64), concatenate=True, align_arrays=False,
                        new_axes=None if any(per_problem) else {"i": 1},
                        token="minimize_batch")
