"""orvane: backtesting of long/short stock portfolios on a native core.

Examples
--------
>>> import orvane
>>> market = orvane.datasets.synthetic_market(stocks=300, years=10)
>>> result = orvane.backtest(orvane.datasets.momentum(market), market, stop_loss=0.1)
>>> result.stats()  # doctest: +SKIP
"""

from importlib.metadata import version as _version

from orvane import datasets, trials
from orvane.engine import backtest
from orvane.inputs import PreparedPrices, prepare_prices
from orvane.io import read_fills, read_prices, read_weights
from orvane.reconcile import Reconciliation, reconcile
from orvane.result import BacktestResult
from orvane.sweep import SweepPool, SweepResult, WorkerLostError, sweep
from orvane.sweep.capacity import CapacityResult, capacity
from orvane.sweep.walkforward import WalkForwardResult, walk_forward

# One place for the version: meson.build, read back from the installed metadata.
__version__ = _version("orvane")

__all__ = ["backtest", "read_prices", "read_weights", "prepare_prices", "PreparedPrices", "BacktestResult",
           "datasets", "sweep", "SweepResult", "SweepPool", "WorkerLostError", "walk_forward",
           "WalkForwardResult", "capacity", "CapacityResult", "trials", "read_fills", "reconcile",
           "Reconciliation", "__version__"]
