"""Type aliases shared by the layer's modules."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

Float64Array = npt.NDArray[np.float64]
Int64Array = npt.NDArray[np.int64]
IntpArray = npt.NDArray[np.intp]
BoolArray = npt.NDArray[np.bool_]
Int8Array = npt.NDArray[np.int8]
ObjectArray = npt.NDArray[np.object_]
AnyArray = npt.NDArray[Any]

#: Nanoseconds in a day: dates cross the engine boundary as int64 nanoseconds.
NS_PER_DAY = 86_400 * 10**9
