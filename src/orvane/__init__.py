"""orvane: backtesting of long/short stock portfolios on a native core.

    import orvane
    market = orvane.datasets.synthetic_market(stocks=300, years=10)
    result = orvane.backtest(orvane.datasets.momentum(market), market, stop_loss=0.1)
    result.stats()
"""

from orvane import datasets
from orvane.engine import backtest
from orvane.result import BacktestResult

__version__ = "0.1.0"

__all__ = ["backtest", "BacktestResult", "datasets", "sweep", "__version__"]

# The sweep module lands separately; until it defines sweep the rest of the package works.
try:
    from orvane.sweep import sweep
except ImportError:
    __all__.remove("sweep")
