"""The engine's fills: every trade it made, at the price it filled, adding up to the book:
a book of whole lots pays everything from cash, so its cash is the fills' money, and the
shares it holds are the fills' shares."""

import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets

MARKET = datasets.synthetic_market(stocks=20, years=2, seed=4, trend=0.2)
WEIGHTS = datasets.momentum(MARKET, top=4, bottom=4, lookback=42)


@pytest.mark.parametrize("options", [
    dict(capital=1e6, stop_loss=0.05),
    dict(capital=1e6, trade_at="open", intrabar_exits=True, stop_loss=0.05, take_profit=0.1,
         lot=10, delistings="infer"),
    # Capped slices and capped stops, on bars apart and at intrabar levels.
    dict(capital=1e7, impact=0.5, max_participation=0.05, cap_exits=True, stop_loss=0.05),
    dict(capital=3e7, impact=0.5, max_participation=0.05, cap_exits=True, stop_loss=0.04,
         trade_at="open", intrabar_exits=True, lot=100, max_gross=1.5),
], ids=["close", "intrabar-lots", "capped", "capped-intrabar"])
def test_fills_add_up_to_the_book(options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = orvane.backtest(WEIGHTS * 1.5, MARKET, **options)
    fills = result.fills
    assert len(fills) > 50 and (fills["value"] != 0).all()
    # Whole lots, each at its fill price.
    lot = options.get("lot", 1)
    np.testing.assert_allclose(fills["shares"] % lot, 0.0, atol=1e-6)
    np.testing.assert_allclose(fills["shares"] * fills["price"] / options["capital"],
                               fills["value"], rtol=1e-9)
    # Everything paid from cash: what is left of 1.0 after the fills' money and costs.
    cash = result.exposure["cash"].iloc[-1] * result.equity.iloc[-1]
    assert cash == pytest.approx(1.0 - fills["value"].sum() - fills["costs"].sum(), abs=1e-12)
    assert fills["costs"].sum() == pytest.approx(result.costs["total"].sum(), rel=1e-12)
    # What the book holds after the last bar is what its fills bought.
    orders = result.orders()
    held = fills.groupby("ticker")["shares"].sum().reindex(orders.index).fillna(0.0)
    tradable = orders["tradable"].to_numpy()
    np.testing.assert_array_equal(held[tradable], orders["shares"][tradable])


def test_a_rebalance_fills_at_its_bar_s_trading_price():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = orvane.backtest(WEIGHTS, MARKET, trade_at="open", capital=1e6)
    fills = result.fills
    opens = MARKET["open"].stack()
    expected = opens.reindex(pd.MultiIndex.from_arrays([fills["date"], fills["ticker"]]))
    np.testing.assert_array_equal(fills["price"].to_numpy(), expected.to_numpy())
