import datetime as _datetime
from types import ModuleType
from typing import Any, Dict, List, Mapping, MutableMapping, Optional, Tuple, TypeVar

import numpy as np
import numpy.typing as npt

org_np: ModuleType
tidemark: ModuleType
datetime: ModuleType
RETAIN_COST_WHEN_REBALANCE: bool
RESAMPLE: Optional[bool]
LEDGER_ROWS: Tuple[str, ...]
LEDGER_TRADES: Tuple[str, ...]
FLOWS: Tuple[str, ...]
BOOK_CONTROLS: Tuple[str, ...]

_M = TypeVar("_M", bound=MutableMapping[Any, Any])

def backtest_(
    price_values: Optional[npt.NDArray[np.float64]],
    close_values: Optional[npt.NDArray[np.float64]],
    high_values: Optional[npt.NDArray[np.float64]],
    low_values: Optional[npt.NDArray[np.float64]],
    open_values: Optional[npt.NDArray[np.float64]],
    price_index: npt.NDArray[np.int64],
    price_columns: Optional[npt.NDArray[np.object_]],
    pos_values: Optional[npt.NDArray[np.float64]],
    pos_index: Optional[npt.NDArray[np.int64]],
    pos_columns: Optional[npt.NDArray[np.object_]],
    resample: npt.NDArray[np.int64],
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: float = 1.0,
    take_profit: float = ...,  # inf
    trail_stop: float = ...,  # inf
    trail_stop_activation: float = 0.0,
    touched_exit: object = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: object = False,
    stop_trading_next_period: object = True,
    tidemark_window: int = 0,
    tidemark_window_step: int = 1,
    periodically_rebalance: object = True,
    delisting_bars: Optional[npt.NDArray[np.int64]] = None,
) -> npt.NDArray[np.float64]: ...
def get_stock_operations() -> Dict[str, Any]: ...
def normalize_weight(weights: _M, position_limit: Any) -> _M: ...
def get_trade_stocks(
    pos_columns: Optional[npt.NDArray[np.object_]],
    price_index: Optional[npt.NDArray[np.int64]],
    touched_exit: object,
) -> Tuple[List[List[Any]], Dict[str, Any]]: ...
def ioft(v: Any) -> _datetime.datetime: ...
def record_ledger(on: object) -> bool: ...
def record_arrays(on: object) -> bool: ...
def get_ledger() -> Optional[Dict[str, Any]]: ...
def set_financing(cash: Optional[npt.NDArray[np.float64]] = None,
                  rebate: Optional[npt.NDArray[np.float64]] = None,
                  borrow: Optional[npt.NDArray[np.float64]] = None,
                  dividends: Optional[npt.NDArray[np.float64]] = None) -> None: ...
def set_book_controls(max_gross: float = 1.0, band: float = 0.0, min_trade: float = 0.0,
                      lot: float = 0.0) -> None: ...
def get_trade_arrays() -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def run_(switches: Mapping[str, Any], /, *args: Any, **kwargs: Any) -> Tuple[
    npt.NDArray[np.float64],
    Tuple[npt.NDArray[np.int64], npt.NDArray[np.float64], npt.NDArray[np.float64]],
    Dict[str, Any], Optional[Dict[str, Any]]]: ...
def whole_lots(target: float, held: float, price: float, lot: float, fee_ratio: float) -> float: ...
