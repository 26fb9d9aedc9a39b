"""orvane: backtesting of long/short stock portfolios on a native core."""

__version__ = "0.1.0"
