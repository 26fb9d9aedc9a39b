"""Smoke test of an installed wheel, run by .ci/run in a fresh venv with no compiler on PATH:
the package imports from site-packages, the demo's backtest runs on a small market, and
the core gives the known equity of a book small enough to check by hand."""

import pathlib
import sys
import sysconfig
import warnings

import numpy as np

import orvane
from orvane.cli import DEMO_SETTINGS, DEMO_STRATEGY
from orvane.core import tradeloom

# The wheel's files, not a source tree on sys.path.
site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
assert site in pathlib.Path(orvane.__file__).resolve().parents, orvane.__file__
assert pathlib.Path(tradeloom.__file__).suffix in (".so", ".pyd"), tradeloom.__file__

# The demo's strategy and settings on a small market.
market = orvane.datasets.synthetic_market(stocks=40, years=3, seed=0)
with warnings.catch_warnings():
    warnings.simplefilter("ignore", UserWarning)
    result = orvane.backtest(orvane.datasets.momentum(market, **DEMO_STRATEGY), market,
                             delistings=market.delistings, **DEMO_SETTINGS)
assert len(result.trades) > 20 and np.isfinite(result.equity).all(), result
gain = result.equity.iloc[-1] - result.equity.iloc[0]
assert np.isclose(gain, result.trades["pnl"].sum(), rtol=0, atol=1e-9), (gain, result.trades["pnl"].sum())

# One stock at 100, 110, 121; a weight of 1 dated on the first day trades on the second
# at 110, then rises 10 % with the stock. No costs.
days = np.array(["2024-01-02", "2024-01-03", "2024-01-04"], dtype="datetime64[ns]").astype(np.int64)
price = np.array([[100.0], [110.0], [121.0]])
stock = np.array(["AAA"], dtype=object)
creturn = tradeloom.backtest_(price, price, price, price, price, days, stock, np.array([[1.0]]),
                              days[:1], stock, days[:1], fee_ratio=0.0, tax_ratio=0.0)
np.testing.assert_allclose(creturn, [1.0, 1.0, 1.1], rtol=0, atol=1e-15)

print(f"   wheel smoke test passed: orvane {orvane.__version__}, python {sys.version.split()[0]}, "
      f"{len(result.trades)} trades, final equity {result.equity.iloc[-1]:.4f}")
