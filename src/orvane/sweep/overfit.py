"""The deflated Sharpe ratio and the probability of backtest overfitting, at home in
``orvane.stats.overfit`` (a trial register reads them too); this name stays for code that
imports them from the sweep."""

from orvane.stats.overfit import *  # noqa: F401,F403
from orvane.stats.overfit import __all__  # noqa: F401
