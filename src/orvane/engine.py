"""``orvane.backtest``: checked inputs -> one engine run -> a result that owns copies of it.

This is the only module that runs the engine (``orvane.core.tradeloom``); the kernels and
the names the core publishes come through ``_native``.  The engine keeps its trades,
excursion records and next actions in per-process state that the next run replaces, so each
run's switches go with it and its results come back with it, in one native call.
"""

from __future__ import annotations

import contextlib
import gc
import os
import pickle
import threading
import warnings as _warnings
from typing import Any, Dict, Iterator, List, Mapping, NamedTuple, Optional, Sequence, Union

import numpy as np
import pandas as pd

from orvane import _benchmark, _execution, _financing, _native, _params, _records, inputs
from orvane._clock import unknown_tickers_error
from orvane import stats as _stats
from orvane.result import BacktestResult

__all__ = ["backtest"]

# The engine keeps one run's records per process: a run and the copying of its records
# must not interleave with another thread's run.
_ENGINE_LOCK = threading.Lock()


def backtest(weights: pd.DataFrame,
             prices: Union[pd.DataFrame, Mapping[str, pd.DataFrame], inputs.PreparedPrices], *,
             trade_at: str = "close", rebalance: Union[str, Sequence[Any], None] = None,
             fee: float = 0.001425, tax: float = 0.003, stop_loss: Optional[float] = None,
             take_profit: Optional[float] = None, trailing_stop: Optional[float] = None,
             trailing_activation: float = 0.0, intrabar_exits: bool = False,
             position_limit: float = 1.0, keep_costs_on_rebalance: bool = False,
             skip_stopped_until_rebalance: bool = True, window: int = 0, window_step: int = 1,
             delistings: Union[str, Mapping[str, Any], pd.Series, None] = None,
             split_trades_on_rebalance: bool = True,
             benchmark: _benchmark.Benchmark = None,
             cash_rate: Union[float, pd.Series, None] = None,
             short_rebate: Union[float, pd.Series, None] = None,
             borrow_fee: Union[float, pd.Series, pd.DataFrame, None] = None,
             dividends: Optional[pd.DataFrame] = None,
             day_count: int = 360, max_gross: float = 1.0, band: Optional[float] = None,
             min_trade: Optional[float] = None, capital: Optional[float] = None,
             lot: int = 1,
             slippage: Union[float, pd.Series, pd.DataFrame, None] = None,
             spread: Union[float, str, pd.Series, pd.DataFrame, None] = None,
             spread_window: int = 21, impact: Optional[float] = None,
             impact_exponent: float = 0.5, adv_window: int = 20, vol_window: int = 20,
             max_participation: Optional[float] = None, unfilled: str = "carry",
             cap_exits: bool = False, register: Any = None) -> BacktestResult:
    """Backtest a long/short portfolio of target weights on daily price bars.

    Timing: a weight row dated ``t`` comes into force on the last price bar at or before
    ``t`` (the signal bar) and is traded on the next bar at that bar's trading price, so a
    signal computed from the close of ``t`` never trades at that close.  A weight row dated
    between two bars counts from the earlier one; when several rows fall on one bar only the
    last is used (reported in ``warnings``).  A row labelled by a period (a ``PeriodIndex``,
    as ``to_period("M")`` makes) is known when its period ends: it counts from the period's
    last bar and trades on the first bar after it, as the same row dated at that bar would;
    periods given as rebalance dates, delistings or benchmark dates read the same way.
    Leading rows without a single position (a look-back's warm-up) do not start the live
    period: the result and its statistics start at the first row that holds one.  Price
    dates on which no ticker has a price (holidays of a business-day calendar) are not
    trading days and are dropped.  Both are reported in ``warnings``.

    Time stamps: on daily bars (at most one price bar per calendar date) every date, of the
    weights, prices, rebalance calendar and delistings, is read as the calendar date written
    on it, in its own time zone and never converted, so a weight dated D trades on the first
    bar after the bar dated D whether the prices are stamped at midnight or 16:00, in New
    York time or UTC (reading dates as written can only delay a trade, never advance it).
    On intraday bars instants are compared, and weights must carry a time of day.  Mixing
    time-zone-aware and naive dates is an error.

    Parameters
    ----------
    weights : DataFrame
        Target weights, fractions of portfolio value (0.05 = 5 %; negative = short).  Wide
        (signal dates x tickers) or long with columns ``date, ticker, weight``, named as
        ``orvane.read_weights`` names them (any case or spacing; ``symbol`` for ticker).  NaN
        means no position.  When the gross weight of a row (sum of absolute weights) exceeds 1 the row
        is scaled down to gross 1; below 1 the rest is held in cash.  A row whose gross
        overflows a float (weights near 1e308) is refused.
    prices : DataFrame or mapping
        A wide frame of one price (dates x tickers), used both for trading and as the close;
        or OHLC as a mapping of wide frames with keys ``"open", "high", "low", "close"``
        (``"close"`` required; a ``orvane.datasets.Market`` is such a mapping); or a frame
        with (field, ticker) column MultiIndex; or a long frame with columns
        ``date, ticker, close`` (and optionally ``open, high, low``), read as
        ``orvane.read_prices`` reads the same table from a file (a row without a close is
        no bar), with the same result.  A frame that reads two ways (a close column but no
        ticker column; fields on both column levels) is refused, saying how to tell which.
        NaN marks a missing bar; prices must otherwise be positive and finite.  Tickers without weights are fine.
        ``orvane.prepare_prices(prices)`` checks and converts prices once for many runs: pass
        what it returns here and the runs skip that work (the results are the same).
{parameters}

    register : path or TrialRegister, optional
        Record this run in a trial register (``orvane.trials``): a single backtest is
        recorded only when asked here, never by an active register (sweeps record theirs).

    Returns
    -------
    BacktestResult

    Raises
    ------
    TypeError, ValueError
        On any input that would give a wrong result; the message names the argument and shows
        the first offending values.  Adjustments (sorted dates, NaN weights read as 0, weights
        dropped on bars without a price) are listed in ``result.warnings`` and emitted once
        each as ``UserWarning``.

    Notes
    -----
    A weight on a ticker with no trading price on the bar it would be traded (not listed
    yet, a gap in the data, delisted) is dropped for that rebalance: the remaining weights
    trade as given (scaled only if their gross exceeds 1).
    """
    given = {name: value for name, value in locals().items() if name in _params.BY_NAME}
    run = _run(weights, prices, given)
    fields = _records.result_fields(run.data, run.record, run.settings, run.notes)
    if run.benchmark is not None:
        curve, bench_notes = _benchmark_curve(run, fields["_start"], fields["_end"])
        fields["_benchmark"] = curve
        fields["_warnings"] = fields["_warnings"] + tuple(bench_notes)
    for message in fields["_warnings"]:
        _warnings.warn(message, UserWarning, stacklevel=2)
    result = BacktestResult(**fields)
    if register is not None and register is not False:
        _record(register, result, run, weights, given)
    return result


def _record(register: Any, result: BacktestResult, run: "_Run", weights: Any,
            given: Mapping[str, Any]) -> None:
    """One backtest into a trial register: its options that are not at their defaults."""
    from orvane import trials

    opened, close = trials.resolve(register)
    if opened is None:
        return
    params = {name: value for name, value in given.items()
              if not _same({"v": value}, {"v": _params.BY_NAME[name].default})}
    data = run.data
    try:
        opened.record(trials.Trial.of(
            result.equity, params=params,
            strategy=trials.weights_fingerprint(weights),
            market=trials.market_fingerprint(data.dates, data.price_columns, data.close)))
    finally:
        if close:
            opened.close()


backtest.__doc__ = (backtest.__doc__ or "").replace("{parameters}", _params.parameters_doc())


class _Run(NamedTuple):
    data: inputs.Inputs
    settings: Dict[str, Any]
    notes: List[str]
    record: _records.RunRecord
    benchmark: Any


def _run(weights: Any, prices: Any, given: Mapping[str, Any],
         prepared: Optional[Dict[str, Any]] = None) -> _Run:
    """Checked options and inputs, then one engine run.  ``prepared``: a cache of the
    inputs of fixed (prepared) weights, kept by a caller running them many times."""
    prices, dividends = _financing.split_prices(prices, given.get("dividends"))
    given = {**given, "dividends": dividends}
    settings, core, notes = _params.check_options(given)
    _execution.check_settings(settings)
    data = _prepare(weights, prices, settings, given, prepared)
    notes += data.warnings + inputs.control_notes(
        data, settings["max_gross"], settings["position_limit"], settings["band"],
        settings["capital"], settings["lot"]) + _records.flip_notes(data, settings)
    money = _financing.financing(data, settings, notes)
    bench = _benchmark_series(data, settings["benchmark"])
    # Offsets past the last bar are never written: a longer window changes nothing.
    core["tidemark_window"] = min(core["tidemark_window"], len(data.dates))
    _check_record_size(data, core["tidemark_window"], core["tidemark_window_step"], prepared)
    execution = _execution.switch(data, {"open": data.open, "high": data.high, "low": data.low,
                                         "volume": data.volume}, settings, notes,
                                  None if prepared is None else prepared.setdefault("execution", {}))
    record = run_core(data, money, _params.book_controls(settings), execution, **core)
    _check_finite(data, record)
    return _Run(data, settings, notes, record, bench)


def _prepare(weights: Any, prices: Any, settings: Dict[str, Any], given: Mapping[str, Any],
             prepared: Optional[Dict[str, Any]]) -> inputs.Inputs:
    options = {**_params.prepare_options(settings, given),
               "fields": _execution.fields(settings)}
    if prepared is None or not isinstance(weights, inputs.PreparedWeights):
        return inputs.prepare(weights, prices, **options)
    # The same prepared weights and prices under the same options align the same way.
    hit = prepared.get("inputs")
    if hit is not None and hit[0] is weights and hit[1] is prices and _same(hit[2], options):
        return hit[3]
    data = inputs.prepare(weights, prices, **options)
    # Shared by the runs that follow: nothing may write to it.
    data.weights.setflags(write=False)
    prepared["inputs"] = (weights, prices, options, data)
    return data


def _same(a: Mapping[str, Any], b: Mapping[str, Any]) -> bool:
    """Options equal by identity, else by their pickles (dates, Series, lists)."""
    if a.keys() != b.keys():
        return False
    for name in a:
        if a[name] is b[name]:
            continue
        try:
            if pickle.dumps(a[name]) != pickle.dumps(b[name]):
                return False
        except Exception:
            return False
    return True


def _benchmark_curve(run: _Run, start: pd.Timestamp, end: pd.Timestamp) -> Any:
    dates = run.data.dates
    live = dates[(dates >= start) & (dates <= end)]
    return _benchmark.align(run.benchmark, live, dates)


class RunSummary(NamedTuple):
    """A run's statistics without its result (see ``summarize``)."""

    stats: pd.Series
    equity: pd.Series    # on every price date, NaN outside the live bars


def summarize(weights: Any, prices: Any, prepared: Optional[Dict[str, Any]] = None,
              **options: Any) -> RunSummary:
    """``backtest(weights, prices, **options).stats()`` and its live equity, with the same
    warnings, without building the result's tables: what a sweep keeps of most runs."""
    given = {o.name: o.default for o in _params.OPTIONS}
    unknown = sorted(set(options) - set(given))
    if unknown:
        raise TypeError(f"backtest() got unexpected keyword arguments {unknown}")
    given.update(options)
    run = _run(weights, prices, given, prepared)
    data, rec = run.data, run.record
    dates = data.dates
    first = min(data.schedule.first_bar, len(dates) - 1)
    ruin = _records.ruin_bar(rec.equity, first)
    end = len(dates) - 1 if ruin is None else ruin
    notes = run.notes + _records.ruin_notes(rec.equity, dates, ruin) + _records.book_notes(
        data, rec, run.settings, first, end)
    curve = None
    if run.benchmark is not None:
        curve, bench_notes = _benchmark_curve(run, dates[first], dates[end])
        notes += bench_notes
    for message in notes:
        _warnings.warn(message, UserWarning, stacklevel=2)
    cols = _records.trade_columns(data, rec, run.settings, ruin, table=False)
    full = pd.Series(rec.equity, index=dates, name="equity")
    live = slice(first, end + 1)
    asi8 = dates.asi8
    exit_ = cols["exit"]
    equity = full.iloc[live].dropna()
    # Live bars have finite values (checked above), so positions are rows from the first.
    trades = _stats.TradeFigures(
        ret=cols["return"], bars_held=cols["bars_held"], mae=cols["mae"],
        gmfe=cols["gmfe"], weight=cols["weight"], key=cols["sid"], short=cols["weight"] <= 0,
        entry=asi8[cols["entry"]], exit=np.where(exit_ < 0, _stats.NAT, asi8[exit_]),
        bars=(cols["entry"] - first, np.where(exit_ < 0, len(equity), exit_ - first)),
        pnl=cols.get("pnl"))
    book: Dict[str, np.ndarray] = {}
    execution = None
    if rec.ledger is not None:
        columns = _records.book_columns(rec)
        total = np.asarray(rec.ledger["fees"]) + np.asarray(rec.ledger["tax"])
        if rec.executed:
            execution = {kind: np.asarray(rec.ledger[kind])[live] for kind in _native.COST_KINDS}
            for kind in _native.COST_KINDS:
                total = total + np.asarray(rec.ledger[kind])
            listed = np.asarray(rec.ledger["entry_row"]) <= end
            execution["capped"] = np.asarray(rec.ledger["capped"], dtype=bool)[listed]
            execution["participation"] = np.asarray(rec.ledger["participation"])[listed]
            execution["shortfall"] = _execution.gross_shortfall(rec.ledger, len(dates))[live]
        book = {"gross": columns["gross"][live], "net": columns["net"][live],
                "costs": total[live]}
    flows = None
    if rec.financed and rec.ledger is not None:
        flows = {name: np.asarray(rec.ledger[name])[live]
                 for name in (*_native.FLOWS, "dividends_paid")}
    figures = _stats.run_figures(equity, trades, holdings=True, ruined=ruin is not None,
                                 flows=flows, execution=execution, **book)
    stats = _stats.figures_summary(figures, 0.0, curve)
    values = np.full(len(dates), np.nan)
    values[live] = rec.equity[live]
    return RunSummary(stats, pd.Series(values, index=dates, name="equity"))


def _benchmark_series(data: inputs.Inputs, benchmark: Any) -> Any:
    """A ticker's close as a price Series; any other benchmark as given (already checked)."""
    if not isinstance(benchmark, str):
        return benchmark
    tickers = [str(t) for t in data.price_columns]
    if benchmark not in tickers:
        raise unknown_tickers_error("benchmark", [benchmark], tickers)
    return {"prices": pd.Series(data.close[:, tickers.index(benchmark)], index=data.dates)}


def _available_memory() -> Optional[int]:
    try:
        with open("/proc/meminfo", encoding="ascii") as info:
            for line in info:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return int(os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"))
    except (AttributeError, ValueError, OSError):
        return None


def _check_record_size(data: inputs.Inputs, window: int, step: int,
                       prepared: Optional[Dict[str, Any]] = None) -> None:
    """Refuse a look-ahead record that cannot fit in memory, before the engine allocates it."""
    blocks = (window - 1) // step + 2 if window > 0 else 1
    per_trade = 8 * 6 * blocks
    known = (prepared or {}).get("entries")
    if known is not None and known[0] is data:
        trades = known[1]
    else:
        # At least one trade per weight entered at a rebalance.
        plan = data.schedule
        rows = plan.weight_row[plan.bar < len(data.dates)]
        trades = int(np.count_nonzero(data.weights[rows])) if len(rows) else 0
        if prepared is not None:
            prepared["entries"] = (data, trades)
    need = per_trade * trades
    free = _available_memory()
    if free is not None and need > free:
        raise MemoryError(
            f"window={window} with window_step={step} keeps {per_trade / 2**10:,.0f} KiB per "
            f"trade, at least {need / 2**30:,.1f} GiB for this run's {trades:,} entries, and "
            f"{free / 2**30:,.1f} GiB are free; use a shorter window or a larger window_step")


def _check_finite(data: inputs.Inputs, record: _records.RunRecord) -> None:
    """Finite prices must not give a non-finite equity unnoticed."""
    first = data.schedule.first_bar
    bad = np.flatnonzero(~np.isfinite(record.equity[first:]))
    if not len(bad):
        return
    bar = first + int(bad[0])
    with np.errstate(all="ignore"):
        moves = np.abs(np.log(data.trade[1:bar + 1] / data.trade[:bar]))
    moves = np.where(np.isfinite(moves), moves, 0.0)
    row, col = np.unravel_index(int(np.argmax(moves)), moves.shape) if moves.size else (0, 0)
    culprit = (f"; the largest price move up to then: {data.price_columns[col]} from "
               f"{data.trade[row, col]:g} to {data.trade[row + 1, col]:g} on "
               f"{data.dates[row + 1].date()}") if moves.size else ""
    raise ValueError(f"prices give a non-finite portfolio value on {data.dates[bar].date()} "
                     f"({record.equity[bar]}): moves that large overflow double precision"
                     f"{culprit}; check the prices for values near 0 or beyond 1e150")


def core_arguments(data: inputs.Inputs) -> Dict[str, Any]:
    """The aligned arrays of ``inputs.prepare`` under the engine's parameter names."""
    return {
        "price_values": data.trade,
        "close_values": data.close,
        "high_values": data.high,
        "low_values": data.low,
        "open_values": data.open,
        "price_index": data.price_index,
        "price_columns": data.price_columns,
        "pos_values": data.weights,
        "pos_index": data.pos_index,
        "pos_columns": data.pos_columns,
        "resample": data.resample,
        "delisting_bars": data.delisting_bars,
    }


def run_core(data: inputs.Inputs, money: Optional[_financing.Financing] = None,
             controls: Optional[Dict[str, float]] = None,
             execution: Optional[Dict[str, Any]] = None, **options: Any) -> _records.RunRecord:
    """One engine run; returns a RunRecord holding copies of everything the run left behind.
    ``money``: the run's financing arrays, or None for none; ``controls``: the engine's book
    controls, or None for today's rebalance; ``execution``: the execution switch (costs by
    size and liquidity, the participation cap), or None for fills in full at no such cost."""
    from orvane.core import tradeloom

    # The switches go with the run and its results come back with it, in one native
    # call: another thread's run can neither see them nor replace the results. The
    # front always keeps the ledger (exposure, costs and trade P&L) and the records as
    # arrays (no Python object per trade).
    switches = {"ledger": True, "arrays": True, "controls": controls or None,
                "financing": money.core() if money is not None else None,
                "execution": execution}
    with _ENGINE_LOCK, _collector_paused():
        equity, trades, operations, ledger = tradeloom.run_(
            switches, **core_arguments(data), **options)
        record = _records.read_run(equity, trades, operations, ledger,
                                   financed=money is not None)
        _release(tradeloom)
        return record


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """A run in list mode makes a small list per trade, copied out and freed within the
    run: the cyclic collector, which their numbers set off again and again, would walk
    every live object each time and find nothing to free."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


# Two bars of one stock, nothing held: a run that costs microseconds.
_IDLE = {
    "price_values": np.ones((2, 1)), "close_values": np.ones((2, 1)),
    "high_values": None, "low_values": None, "open_values": None,
    "price_index": np.array([0, 1], dtype=np.int64),
    "price_columns": np.array(["-"], dtype=object),
    "pos_values": np.zeros((1, 1)), "pos_index": np.array([0], dtype=np.int64),
    "pos_columns": np.array(["-"], dtype=object), "resample": np.array([0], dtype=np.int64),
}


def _release(tradeloom: Any) -> None:
    """Let go of the run's price matrices: the engine's analytics keep the last run's
    arrays until the next run, and a converted copy can be most of the memory a run used.
    An idle run replaces them."""
    tradeloom.backtest_(**_IDLE)
