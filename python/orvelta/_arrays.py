"""NumPy-style argument handling shared by the user-level API.

Array-likes broadcast against each other; the compiled engines see flat,
C-contiguous float64 (and int32 option-type) arrays; results take the
broadcast shape, and all-scalar inputs give Python floats.
"""

from __future__ import annotations

from typing import Any, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

F64 = NDArray[np.float64]
FloatOrArray = Union[float, F64]


class Broadcast:
    """Inputs broadcast to one shape and flattened for a compiled batch call."""

    __slots__ = ("shape", "scalar", "flat")

    def __init__(self, *values: ArrayLike) -> None:
        arrays = [np.asarray(v) for v in values]
        self.scalar = all(a.ndim == 0 for a in arrays)
        shaped = np.broadcast_arrays(*arrays)
        self.shape: tuple[int, ...] = shaped[0].shape if shaped else ()
        self.flat = shaped

    def f64(self, i: int) -> F64:
        """Input i as a flat, C-contiguous float64 array."""
        return np.ascontiguousarray(self.flat[i], dtype=np.float64).reshape(-1)

    def option_type(self, i: int) -> NDArray[np.int32]:
        """Input i as flat int32 option types: 1 where the value is > 0 (call), else 0 (put)."""
        return np.ascontiguousarray(np.asarray(self.flat[i]) > 0, dtype=np.int32).reshape(-1)

    def result(self, flat: NDArray[Any]) -> Any:
        """A flat result back in the broadcast shape; a Python float for scalar inputs."""
        if self.scalar:
            return float(flat.reshape(-1)[0])
        return np.asarray(flat, dtype=np.float64).reshape(self.shape)
