"""The trade recorder (native module): one record per trade of the latest run."""

from typing import Any

import numpy as np
import numpy.typing as npt

# The module holds NumPy under this name too.
org_np = np

# [weight column, entry row (a NumPy integer), exit row or -1 while open]
trades: list[list[Any]]
trade_positions: list[np.float64]
excursion: list[npt.NDArray[np.float64]]
__pyx_capi__: dict[str, Any]
