"""Execution by size and liquidity, the front's half: the checks of its options, and the
engine's per-bar arrays (money ADV, volatility, spread, slippage), each row computed from the
bars before it, so a trade never sees its own bar's volume, close, high or low.  The engine
applies them: the cap, the costs, the carried targets.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple, Union

import numpy as np
import pandas as pd

from orvane._checks import Bounds, check_real, shown
from orvane._clock import check_dates, check_labels, check_values, unknown_tickers_error
from orvane._common import day as _day, per_ticker, percent, show as _show

__all__ = ["COSTS", "check_cost", "fields", "switch", "notes_of_run", "EDGE"]

EDGE = "edge"
# A cost of a trade's value: at or above 1 nothing would be left of a sale.
COSTS = Bounds(0.0, 1.0, high_open=True)
# Above this a cost is almost always a percentage typed as a fraction.
_COST_WARNING = 0.02
# Trades before this much history use the bars there are: said once.
_SIZED = ("impact", "max_participation")


def check_cost(name: str, edge: bool = False) -> Callable[[Any], Any]:
    """The check of ``slippage`` or ``spread``: a number, a Series per ticker, a frame of
    dates x tickers (``"edge"`` too for the spread)."""

    def check(value: Any) -> Union[None, str, float, pd.Series, pd.DataFrame]:
        if value is None:
            return None
        if edge and isinstance(value, str):
            if value != EDGE:
                raise ValueError(f"{name} must be a fraction of price, a Series per ticker, a "
                                 f"frame of dates x tickers or 'edge', got {shown(value)}")
            return value
        if isinstance(value, (pd.Series, pd.DataFrame)):
            return value.copy()
        if isinstance(value, Mapping):
            return pd.Series(dict(value), dtype=object if not value else None)
        what = "a fraction of price (the full spread)" if edge else "a fraction of the traded value"
        return check_real(value, name, COSTS, what=what, hint=": 0.001 means 0.1 %")
    return check


def cost_argument(text: str) -> Union[str, float]:
    """A cost on the command line: a number, or the word of an estimator."""
    return text if text == EDGE else float(text)


def fields(settings: Mapping[str, Any]) -> Tuple[str, ...]:
    """The price fields a run's execution reads besides the trading price and the close."""
    out: Tuple[str, ...] = ()
    if any(settings.get(name) is not None for name in _SIZED):
        out += ("volume",)
    if isinstance(settings.get("spread"), str):
        out += ("open", "high", "low")
    return out


def check_settings(settings: Mapping[str, Any]) -> None:
    """What the options need of each other, refused in the options' words."""
    sized = [name for name in _SIZED if settings.get(name) is not None]
    if sized and settings.get("capital") is None:
        raise ValueError(f"{' and '.join(sized)} need{'s' if len(sized) == 1 else ''} capital: "
                         "the money traded is weight x equity x capital, and what a trade "
                         "costs or may fill depends on it; pass capital in money, e.g. "
                         "capital=1_000_000")
    if settings.get("cap_exits") and settings.get("max_participation") is None:
        raise ValueError("cap_exits=True caps stops by max_participation, which is not set: "
                         "pass max_participation (e.g. 0.1) or leave cap_exits off")


def on(settings: Mapping[str, Any]) -> bool:
    return any(settings.get(name) is not None
               for name in ("slippage", "spread", "impact", "max_participation"))


def switch(data: Any, market: Mapping[str, Optional[np.ndarray]], settings: Mapping[str, Any],
           notes: List[str], cache: Optional[Dict[Any, Any]] = None) -> Optional[Dict[str, Any]]:
    """The engine's execution switch for a run, or None when every option is off.

    ``market``: the run's price fields by name (close, and volume, open, high, low where
    ``fields`` asked for them).  Row t of every array holds what is known at the close of
    bar t - 1, the signal bar of a trade on bar t.  ``cache``: a dict kept by a caller
    running the same prepared inputs many times (a sweep over capitals): the ADV,
    volatility and spread estimates of these inputs are computed once."""
    def kept(name: str, window: int, make: Callable[[], np.ndarray]) -> np.ndarray:
        if cache is None:
            return make()
        if cache.get("data") is not data:
            cache.clear()
            cache["data"] = data
        key = (name, window)
        if key not in cache:
            array = make()
            array.setflags(write=False)
            cache[key] = array
        return cache[key]

    if not on(settings):
        return None
    check_settings(settings)
    n, width = data.close.shape
    out: Dict[str, Any] = {"capital": settings.get("capital"),
                           "unfilled": settings["unfilled"],
                           "cap_exits": bool(settings["cap_exits"])}
    traded = _traded_columns(data)
    for name in ("slippage", "spread"):
        value = settings.get(name)
        if value is None or isinstance(value, str):
            continue
        grid = _grid(value, name, data, traded)
        out[name] = grid
        high = np.nanmax(grid[:, traded]) if grid.size and traded.any() else 0.0
        if high > _COST_WARNING:
            notes.append(f"{name} reaches {high:g}, {high * 100:g} % of the traded value: a "
                         "percentage typed as a fraction? 0.001 means 0.1 %")
    if isinstance(settings.get("spread"), str):
        from orvane._spread import edge_spread

        open_, high, low = (market.get(f) for f in ("open", "high", "low"))
        if open_ is None or high is None or low is None:
            raise ValueError("spread='edge' estimates each name's spread from its open, high, "
                             "low and close: pass prices with open, high and low fields, or "
                             "give the spread as a number, a Series or a frame")
        window = int(settings["spread_window"])
        out["spread"] = kept("spread", window, lambda: _before(
            edge_spread(open_, high, low, data.close, window)))
    if any(settings.get(name) is not None for name in _SIZED):
        volume = market.get("volume")
        if volume is None:
            sized = " and ".join(name for name in _SIZED if settings.get(name) is not None)
            raise ValueError(f"{sized} read{'s' if ' and ' not in sized else ''} each name's "
                             "volume: the prices have no volume field; read_prices keeps a "
                             "Volume column, or pass prices with a 'volume' field (shares per "
                             "bar)")
        days = int(settings["adv_window"])
        out["adv"] = kept("adv", days, lambda: money_adv(data.close, volume, days))
        out["max_participation"] = settings.get("max_participation")
        if settings.get("impact") is not None:
            returns = int(settings["vol_window"])
            out["sigma"] = kept("sigma", returns, lambda: volatility(data.close, returns))
            out["impact"] = float(settings["impact"])
            out["impact_exponent"] = float(settings["impact_exponent"])
        _history_note(data, settings, notes)
    return out


def _traded_columns(data: Any) -> np.ndarray:
    used = np.zeros(data.close.shape[1], dtype=bool)
    used[data.price_col[(data.weights != 0).any(axis=0)]] = True
    return used


def _before(rows: np.ndarray) -> np.ndarray:
    """Row t of the result is row t - 1 of ``rows`` (NaN on the first row)."""
    out = np.empty_like(rows)
    out[0] = np.nan
    out[1:] = rows[:-1]
    return out


def money_adv(close: np.ndarray, volume: np.ndarray, window: int) -> np.ndarray:
    """Mean close x volume over the ``window`` bars before each bar (the bars there are at
    the start; NaN volume is missing, 0 counts).  0 where no bar of the window traded."""
    money = pd.DataFrame(close * volume)
    mean = money.rolling(window, min_periods=1).mean().to_numpy()
    traded = (money > 0).rolling(window, min_periods=1).sum().to_numpy()
    # The running sum can leave dust where a window holds only zeros after large values.
    mean = np.where(traded > 0, mean, np.where(np.isnan(mean), np.nan, 0.0))
    return _before(mean)


def last_adv(close: np.ndarray, volume: np.ndarray, window: int) -> np.ndarray:
    """Per column, the money ADV a trade on the bar after the last would read."""
    extended = np.vstack([close, np.full((1, close.shape[1]), np.nan)])
    volumes = np.vstack([volume, np.full((1, volume.shape[1]), np.nan)])
    return money_adv(extended, volumes, window)[-1]


def volatility(close: np.ndarray, window: int) -> np.ndarray:
    """Standard deviation of close-to-close returns over the ``window`` returns before
    each bar (NaN with fewer than two)."""
    with np.errstate(all="ignore"):
        returns = np.full_like(close, np.nan)
        returns[1:] = close[1:] / close[:-1] - 1.0
    sigma = pd.DataFrame(returns).rolling(window, min_periods=2).std().to_numpy()
    return _before(sigma)


def _grid(value: Union[float, pd.Series, pd.DataFrame], name: str, data: Any,
          traded: np.ndarray) -> np.ndarray:
    """A cost per bar and price column: a number for all; a Series per ticker; a frame of
    dates x tickers, each row in force on the bars after its date (known at the signal
    bar).  Every traded ticker must have a value."""
    n, width = data.close.shape
    tickers = [str(t) for t in data.price_columns]
    if not isinstance(value, (pd.Series, pd.DataFrame)):
        return np.broadcast_to(np.float64(value), (n, width))
    if isinstance(value, pd.Series):
        if isinstance(value.index, (pd.DatetimeIndex, pd.PeriodIndex)):
            raise TypeError(f"{name} as a Series is a cost per ticker (indexed by ticker); for "
                            "costs over time pass a frame of dates x tickers")
        frame = pd.DataFrame([value.to_numpy()], columns=value.index)
        rows = np.zeros(n, dtype=np.intp)
    else:
        frame = value
        index = frame.index.end_time if isinstance(frame.index, pd.PeriodIndex) else frame.index
        dates, order = check_dates(index, name)
        if order is not None:
            frame = frame.iloc[order]
        # Known at its date's close: in force from the bar after the last bar at or before it.
        keys = dates.tz_localize(None).asi8 if dates.tz is not None else dates.asi8
        bar_keys = data.dates.tz_localize(None).asi8 if data.dates.tz is not None \
            else data.dates.asi8
        known = np.searchsorted(keys, bar_keys, side="right") - 1  # row known at bar t
        rows = np.empty(n, dtype=np.intp)
        rows[0] = -1
        rows[1:] = known[:-1]
    labels = check_labels(frame.columns, name)
    values = check_values(frame, name)
    column = {t: c for c, t in enumerate(tickers)}
    found = np.array([column.get(str(t), -1) for t in labels], dtype=np.intp)
    if (found < 0).any():
        raise unknown_tickers_error(name, [str(t) for t in labels[found < 0]], tickers)
    bad = ~np.isnan(values) & ~((values >= COSTS.low) & (values < COSTS.high))
    if bad.any():
        r, c = np.argwhere(bad)[0]
        raise ValueError(f"{name} must hold fractions of the traded value {COSTS.words()}, got "
                         f"{values[r, c]:g} for {labels[c]}: 0.001 means 0.1 %")
    grid = np.full((len(frame), width), np.nan)
    grid[:, found] = values
    # Each name's cost stays in force until its next one.
    grid = pd.DataFrame(grid).ffill().to_numpy()
    missing = traded & ~np.isin(np.arange(width), found)
    if missing.any():
        names = [tickers[c] for c in np.flatnonzero(missing)]
        raise ValueError(f"{name} has no value for {len(names)} traded tickers: "
                         f"{_show(names)}; give every traded ticker a cost (0 for none)")
    out = np.full((n, width), np.nan)
    known_rows = rows >= 0
    out[known_rows] = grid[rows[known_rows]]
    first_trade = _first_trade_bar(data)
    if first_trade is not None and isinstance(value, pd.DataFrame):
        gap = traded & np.isnan(out[first_trade])
        if gap.any():
            names = [tickers[c] for c in np.flatnonzero(gap)]
            raise ValueError(f"{name} has no value known before the first trade "
                             f"({_day(data.dates[first_trade])}) for {_show(names)}: a cost "
                             "dated on or after the bar it is paid on would look ahead; start "
                             "the frame before the first trade")
    return np.where(np.isnan(out), 0.0, out)


def _first_trade_bar(data: Any) -> Optional[int]:
    bars = data.schedule.bar[data.schedule.bar < len(data.dates)]
    return int(bars[0]) if len(bars) else None


def _history_note(data: Any, settings: Mapping[str, Any], notes: List[str]) -> None:
    first = _first_trade_bar(data)
    if first is None:
        return
    windows = [("adv_window", int(settings["adv_window"]))]
    if settings.get("impact") is not None:
        windows.append(("vol_window", int(settings["vol_window"]) + 1))
    short = [(name, bars) for name, bars in windows if first < bars]
    if short:
        words = " and ".join(f"{name}={bars - (name == 'vol_window')}" for name, bars in short)
        notes.append(f"the first trade ({_day(data.dates[first])}) has {first} bars of history "
                     f"before it, fewer than {words}: its ADV and volatility use the bars there "
                     "are; start the weights later for full windows")


def notes_of_run(data: Any, ledger: Mapping[str, Any], settings: Mapping[str, Any],
                 trades_capped: int, trades: int) -> List[str]:
    """What the cap and a missing volume did to a run, from the engine's events."""
    notes: List[str] = []
    tickers = data.pos_columns
    stalled_sid = np.asarray(ledger.get("stalled_sid", ()), dtype=np.int64)
    if len(stalled_sid):
        rows = np.asarray(ledger["stalled_row"], dtype=np.int64)
        names = sorted({str(tickers[s]) for s in stalled_sid})
        bars = np.unique(rows)
        keeps = ("kept their targets until they traded" if settings["unfilled"] == "carry"
                 else "were not traded until the next rebalance")
        notes.append(f"{len(names)} names could not trade on {len(bars)} bars for want of "
                     f"volume (no money ADV up to the signal bar): {_show(names)}; first on "
                     f"{_day(data.dates[bars[0]])}; they {keeps}")
    if trades_capped:
        sid = np.asarray(ledger["shortfall_sid"], dtype=np.int64)
        value = np.asarray(ledger["shortfall"], dtype=np.float64)
        rows = np.asarray(ledger["shortfall_row"], dtype=np.int64)
        k = int(np.argmax(np.abs(value))) if len(value) else None
        largest = ("" if k is None else
                   f"; the largest shortfall: {value[k]:+.4g} of equity in {tickers[sid[k]]} on "
                   f"{_day(data.dates[rows[k]])}")
        notes.append(f"max_participation={settings['max_participation']:g} capped "
                     f"{trades_capped} of {trades} trade records{largest}")
    return notes


def shortfall_frame(ledger: Mapping[str, Any], dates: pd.DatetimeIndex,
                    tickers: pd.Index) -> pd.DataFrame:
    """Dates x tickers: the target weight less the held weight the cap (or a missing volume)
    left, as of each bar's trades; 0 elsewhere."""
    rows = np.asarray(ledger["shortfall_row"], dtype=np.int64)
    sid = np.asarray(ledger["shortfall_sid"], dtype=np.int64)
    value = np.asarray(ledger["shortfall"], dtype=np.float64)
    out = np.full((len(dates), len(tickers)), np.nan)
    if len(rows):
        # Several events of one bar and name: the last is what the bar's trades left.
        key = rows * len(tickers) + sid
        _, last = np.unique(key[::-1], return_index=True)
        keep = len(key) - 1 - last
        out[rows[keep], sid[keep]] = value[keep]
    out[0] = np.where(np.isnan(out[0]), 0.0, out[0])
    return pd.DataFrame(out, index=dates, columns=tickers).ffill()


def gross_shortfall(ledger: Mapping[str, Any], n: int) -> np.ndarray:
    """Per bar, the sum over names of the absolute shortfall (weight) as of its trades."""
    rows = np.asarray(ledger["shortfall_row"], dtype=np.int64)
    sid = np.asarray(ledger["shortfall_sid"], dtype=np.int64)
    value = np.abs(np.asarray(ledger["shortfall"], dtype=np.float64))
    if not len(rows):
        return np.zeros(n)
    # Each event replaces its name's last one: the change of the sum is the difference.
    order = np.argsort(sid, kind="stable")
    before = np.zeros(len(rows))
    same = sid[order][1:] == sid[order][:-1]
    before[order[1:]] = np.where(same, value[order][:-1], 0.0)
    return np.cumsum(np.bincount(rows, value - before, minlength=n))


def describe_cost(value: Any) -> str:
    """How the report shows a cost setting, in the form of the rates."""
    if isinstance(value, str):
        return f"{value}: estimated per name"
    if isinstance(value, pd.DataFrame):
        return f"{value.shape[1]} tickers over {value.shape[0]} dates"
    if isinstance(value, pd.Series):
        return per_ticker(pd.to_numeric(value, errors="coerce"))
    return percent(value)

