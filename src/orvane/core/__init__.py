"""Native compute core: the backtest engine, its trade analytics and utilities."""
