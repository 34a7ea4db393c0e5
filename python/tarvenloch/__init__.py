"""Best stationary point of a quadratic minus a weighted sum of absolute values.

``minimize(a, b, p, q, n)`` solves one problem and ``minimize_batch(a, b, P, Q, n)``
many at once on every core; both give, bit for bit, what the MATLAB/Octave
modules ``tarvenloch`` and ``tarvenloch_batch`` give. See their docstrings.

``tarvenloch.dask.minimize_batch`` does the same on Dask arrays, chunk by
chunk, on any Dask scheduler (import tarvenloch.dask; it needs Dask).
"""

from ._tarvenloch import __version__, minimize, minimize_batch

__all__ = ["minimize", "minimize_batch", "__version__"]
