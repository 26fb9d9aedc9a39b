from types import ModuleType
from typing import Any, List

import numpy as np
import numpy.typing as npt

org_np: ModuleType
trades: List[List[Any]]
trade_positions: List[np.float64]
tidemark: List[npt.NDArray[np.float64]]
