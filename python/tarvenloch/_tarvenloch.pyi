from typing import Any, Optional, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

_Real = Union[float, int, np.floating[Any], np.integer[Any], np.bool_, npt.NDArray[Any]]
_Whole = Union[SupportsIndex, float, np.floating[Any]]

__version__: str

def minimize(
    a: _Real, b: _Real, p: npt.ArrayLike, q: npt.ArrayLike, n: Optional[_Whole] = None
) -> float: ...
def minimize_batch(
    a: npt.ArrayLike,
    b: npt.ArrayLike,
    P: npt.ArrayLike,
    Q: npt.ArrayLike,
    n: Optional[npt.ArrayLike] = None,
    threads: Optional[_Whole] = 0,
) -> npt.NDArray[np.float64]: ...
