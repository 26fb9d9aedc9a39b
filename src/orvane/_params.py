"""The backtest options: one row each, read by ``backtest`` (checks, core keywords, settings,
its docstring), the command line (flags, types, help), the report (what None means) and the
sweep (which grid names are backtest options), so that none of them can drift from another.
"""

from __future__ import annotations

import math
import textwrap
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple

import numpy as np
import pandas as pd

from orvane import _benchmark, _execution, _financing
from orvane._common import percent
from orvane._checks import (FRACTION, Bounds, check_choice, check_flag, check_fraction, check_real,
                            check_whole)

__all__ = ["Option", "OPTIONS", "BY_NAME", "PREPARE", "option_names", "prepare_options",
           "check_options", "parameters_doc", "setting_text"]


@dataclass(frozen=True)
class Option:
    """One keyword of ``orvane.backtest``.

    ``core``: the engine's keyword, or None for options the front turns into arrays
    (``trade_at``, ``rebalance``, ``delistings``).  ``check``: the user's value -> the value
    the run uses (raises naming the option).  ``none``: what None means, in words, or None when
    None is not a value of this option.  ``kind``: the type line of the docstring.  ``doc``: the
    docstring's description; ``help``: the command line's (short) one.  ``cli``: the
    command line's value type (bool options become --x/--no-x switches), ``metavar`` its
    placeholder.  ``text``: how the report shows a value that is not None (default ``str``).
    """

    name: str
    default: Any
    kind: str
    doc: str
    help: str
    check: Optional[Callable[[Any], Any]]
    core: Optional[str] = None
    none: Optional[str] = None
    cli: Callable[[str], Any] = str
    metavar: Optional[str] = None
    choices: Optional[Tuple[str, ...]] = None
    text: Optional[Callable[[Any], str]] = None
    # A fraction's allowed range, an example for the percentage hint, and the value None
    # stands for: "{bounds}" in ``doc`` shows the same range the check enforces.
    bounds: Optional[Bounds] = None
    example: float = 0.1
    off: Optional[float] = None
    # Shapes the inputs: passed to ``inputs.prepare`` (which rows trade on which bars, and
    # the gross the scaling warning names), so prepared inputs are reused only under it.
    prepare: bool = False

    def checked(self, value: Any) -> Any:
        if self.bounds is not None:
            return check_fraction(value, self.name, self.bounds, example=self.example,
                                  default=self.off)
        assert self.check is not None, self.name
        return self.check(value)

    def described(self) -> str:
        return self.doc.replace("{bounds}", str(self.bounds))

    @property
    def flag(self) -> str:
        return "--" + self.name.replace("_", "-")


def _choice(name: str, choices: Tuple[str, ...]) -> Callable[[Any], Any]:
    return lambda value: check_choice(value, name, choices)


def _flag(name: str) -> Callable[[Any], Any]:
    return lambda value: check_flag(value, name)


def _jointly(value: Any) -> Any:
    # Checked together with its partner option in check_options (fee with tax, window
    # with window_step).
    return value


def _as_given(value: Any) -> Any:
    # Settings must not change when the caller later edits what was passed in; the
    # value itself is checked with the data it refers to.
    if isinstance(value, (pd.Series, pd.Index)):
        return value.copy()
    if isinstance(value, dict):
        return dict(value)
    if isinstance(value, list):
        return tuple(value)
    return value


OPTIONS: Tuple[Option, ...] = (
    Option(
        "trade_at", "close", '{"close", "open"}',
        "Price the trades fill at on the trade bar: the bar's close, or its open (needs "
        "opens).  Positions are marked at this price; the reported equity uses the close.",
        "price the trades are made at: close, or open (needs opens)",
        _choice("trade_at", ("close", "open")), choices=("close", "open"), prepare=True),
    Option(
        "rebalance", None, "None, str, or sequence of dates",
        "A frequency (``\"W\"``, ``\"M\"``/``\"ME\"``, ``\"Q\"``/``\"QE\"``, ``\"Y\"``/``\"YE\"``) "
        "trades only the last weight row of each calendar period.  A sequence of dates is the "
        "calendar itself: each date marks the last bar not after it, and the weight row in "
        "force there is traded on the next bar; a period (``pd.Period``) marks its last "
        "bar.  A row that is overtaken by a later one before a calendar bar is never traded.",
        "rebalance calendar: a pandas frequency (W, M, Q, Y: the last weight date of each "
        "period)",
        _as_given, none="every weight date", metavar="RULE", prepare=True),
    Option(
        "fee", 0.001425, "float",
        "Fee, a fraction of traded value (0.001425 = 0.1425 %) charged on every trade, buys "
        "and sells.  Must be >= 0.",
        "fee per trade, both ways, as a fraction of the traded value (0.001425 = 0.1425 %)",
        _jointly, core="fee_ratio", cli=float, metavar="FRACTION",
        text=lambda value: f"{percent(value)} of each trade"),
    Option(
        "tax", 0.003, "float",
        "Tax, a fraction of traded value charged on top of the fee on every trade that "
        "reduces or closes a holding (selling a long, covering a short).  Must be >= 0, and "
        "``fee + tax < 1``.",
        "tax on top of the fee on every trade that reduces or closes a holding (selling a "
        "long, covering a short), as a fraction of the traded value",
        _jointly, core="tax_ratio", cli=float, metavar="FRACTION",
        text=lambda value: f"{percent(value)} of each sale"),
    Option(
        "stop_loss", None, "float or None",
        "Stop-loss distance, a fraction of the entry price in {bounds} (0.1 = exit after a "
        "10 % adverse move; 1.0: a long never stops out, a short stops when its price "
        "doubles).  Measured on price moves only (costs play no part).",
        "stop-loss distance from entry as a fraction (0.1 = 10 %)",
        None, bounds=FRACTION, off=math.inf, core="stop_loss",
        none="off: no stop, for longs and shorts",
        cli=float, metavar="FRACTION"),
    Option(
        "take_profit", None, "float or None",
        "Take-profit distance, a fraction in {bounds} (0.3 = exit after a 30 % favourable "
        "move).",
        "take-profit distance from entry as a fraction",
        None, bounds=Bounds(0.0, 10.0, low_open=True), example=0.3, off=math.inf,
        core="take_profit", none="off", cli=float, metavar="FRACTION"),
    Option(
        "trailing_stop", None, "float or None",
        "Trailing-stop distance in {bounds}, in units of the entry price below the best price "
        "since entry (0.08: a long that rose 20 % exits when it is back at +12 %; shorts "
        "mirror it).",
        "trailing-stop distance from the best level as a fraction",
        None, bounds=FRACTION, example=0.08, off=math.inf,
        core="trail_stop", none="off", cli=float, metavar="FRACTION"),
    Option(
        "trailing_activation", 0.0, "float",
        "Gain (a fraction in {bounds}; a fall for shorts) the position must have reached "
        "before the trailing stop is armed.  0 arms it at once.",
        "gain (as a fraction) a position must reach before its trailing stop arms",
        None, bounds=Bounds(0.0, 1.0),
        core="trail_stop_activation", cli=float, metavar="FRACTION"),
    Option(
        "intrabar_exits", False, "bool",
        "False: exits are tested on the bar's close and filled on the next bar at its "
        "trading price.  True: exits are tested against the bar's open, high and low and "
        "filled on the same bar at the level touched (at the open when the bar opens beyond "
        "it; when high and low both touch, at the high's level: the take-profit of a long, "
        "the stop of a short).  Needs open, high and low prices.",
        "exit on the bar the stop or take-profit level is touched (high/low/open, needs "
        "--high/--low/--open) instead of on the next bar after a close beyond it",
        _flag("intrabar_exits"), core="touched_exit", cli=bool, prepare=True),
    Option(
        "position_limit", 1.0, "float",
        "Largest absolute position as a fraction of portfolio value, in {bounds}; larger "
        "targets (after the scaling to ``max_gross``) are cut to it, the rest staying in "
        "cash, with a warning.  Above 1 it lets one name hold more than the equity, up to "
        "``max_gross`` (beyond that it never binds).",
        "largest absolute weight of one position, as a fraction of the portfolio",
        None, bounds=Bounds(0.0, 10.0, low_open=True), example=0.05, core="position_limit",
        cli=float, metavar="FRACTION"),
    Option(
        "keep_costs_on_rebalance", False, "bool",
        "False: at every rebalance each position's entry reference is reset, so stops and "
        "excursions are measured from that rebalance.  True: positions that keep their side "
        "keep their original entry (and their trade record runs on).",
        "keep a position's entry reference (its stop levels and trade record) across "
        "rebalances that keep its side; by default every rebalance starts them anew",
        _flag("keep_costs_on_rebalance"), core="retain_cost_when_rebalance", cli=bool),
    Option(
        "skip_stopped_until_rebalance", True, "bool",
        "True: a ticker closed by an exit rule stays out at the next rebalance even when its "
        "weight asks for it (it can come back at the one after).  False: the next rebalance "
        "buys it back, and an exit found on the close before a rebalance that keeps the "
        "ticker is not carried out.",
        "do not buy back a stopped-out ticker at the next rebalance "
        "(--no-skip-stopped-until-rebalance buys it back)",
        _flag("skip_stopped_until_rebalance"), core="stop_trading_next_period", cli=bool),
    Option(
        "window", 0, "int",
        "Look-ahead window of the excursion analysis, in bars after entry (0: excursions "
        "only at the exit).  Each trade keeps ``48 * window / window_step`` bytes of records.",
        "look-ahead window, in bars, of the per-trade excursion record (0: off)",
        _jointly, core="tidemark_window", cli=int, metavar="BARS"),
    Option(
        "window_step", 1, "int",
        "Sampling step of that window, in bars (>= 1).",
        "sampling step, in bars, of that window",
        _jointly, core="tidemark_window_step", cli=int, metavar="BARS"),
    Option(
        "delistings", None, 'None, "infer", or mapping/Series ticker -> date',
        "Delisted tickers are sold at their last marked value, paying fee and tax, on the "
        "first bar at or after the given date, or on the last bar with a trading price "
        "before it when that bar has none (the date is the first day without data); a "
        "period (``pd.Period``) stands for its last bar.  "
        "``\"infer\"`` assumes that every ticker whose trading prices end before the last "
        "date was delisted on its last bar with a price (a ticker that merely has no data "
        "later is treated the same).  Weights on a ticker from its delisting bar on are "
        "dropped (reported in ``warnings``).",
        "CSV/Parquet file with columns ticker,date (delisting dates), or 'infer' (a ticker "
        "whose prices stop early is delisted at its last price)",
        _as_given, none="none", metavar="FILE|infer", prepare=True),
    Option(
        "split_trades_on_rebalance", True, "bool",
        "True: a position that a rebalance keeps is recorded as a new trade from that "
        "rebalance (no cost is charged for the split), so every trade spans at most one "
        "rebalance period.  Has no effect with ``keep_costs_on_rebalance=True``.",
        "record a position that a rebalance keeps as a new trade from that rebalance, "
        "without cost (no effect with --keep-costs-on-rebalance)",
        _flag("split_trades_on_rebalance"), core="periodically_rebalance", cli=bool),
    Option(
        "benchmark", None, "None, str, Series, or mapping",
        "What to measure the strategy against: a ticker of ``prices`` (its close), or a "
        "Series of prices or of returns on dates.  A Series is read from its values: returns "
        "when some value is 0 or below and all lie in [-1, 1), prices when all are positive "
        "and some reaches 1; any other Series could be either and is refused: say which with "
        "``{\"prices\": series}`` or ``{\"returns\": series}``.  It is aligned on the live "
        "bars: each bar takes the benchmark's last value at or before it (on daily bars dates "
        "are compared as calendar dates; a period's value belongs to the period's last bar), "
        "and bars before its first date or after its last have none (reported in "
        "``warnings``).  A benchmark with no value of its own on some bars (weekly closes "
        "against daily bars) is measured on its own dates, the strategy's returns compounded "
        "between them, and a warning names that calendar.  It adds the benchmark "
        "rows of ``stats()``, the benchmark columns of ``yearly_returns()`` and the benchmark "
        "to the charts and the report; the run itself is unchanged.",
        "ticker whose close is the benchmark for the statistics and the report",
        _benchmark.check, none="none", metavar="TICKER", text=_benchmark.describe),
    Option(
        "cash_rate", None, "float, Series or None",
        "Annual interest rate on cash, a fraction (0.04 = 4 % a year), or a Series of rates "
        "over dates, each in force from its date to the next (over periods: from the "
        "period's start; NaN keeps the rate before it); "
        "it must cover the run from its first bar.  Positive cash is credited it, negative "
        "cash (a book holding more than its equity) charged it, with no spread; short-sale "
        "proceeds sit in cash, see ``short_rebate``.  Interest accrues on the cash held at "
        "each bar's close until the next bar, over the calendar days between them (intraday: "
        "the exact time) divided by ``day_count``, and is paid on that next bar before it "
        "trades.  Must be in [-0.2, 1); a negative rate is warned of.",
        "annual interest rate on cash (0.04 = 4 % a year)",
        lambda value: _financing.check_rate(value, "cash_rate"),
        none="none: cash earns and pays nothing", cli=float, metavar="RATE",
        text=_financing.describe_rate),
    Option(
        "short_rebate", None, "float, Series or None",
        "Annual rate the short-sale proceeds earn (a number or a Series over dates, as "
        "``cash_rate``): the proceeds are the shorts' market value at each close, and the "
        "rest of cash earns ``cash_rate``.  0.0: the proceeds earn nothing (most retail "
        "accounts); a rate near ``cash_rate`` less a spread: a large account.  A rebate "
        "above ``cash_rate`` is warned of.",
        "annual rate the short-sale proceeds earn (0: nothing; default: the cash rate)",
        lambda value: _financing.check_rate(value, "short_rebate"),
        none="the proceeds earn cash_rate like any cash", cli=float, metavar="RATE",
        text=_financing.describe_rate),
    Option(
        "borrow_fee", None, "float, Series, DataFrame or None",
        "Annual fee on each short's market value at each close, accrued as ``cash_rate`` is "
        "and booked to the short's trade record (its ``pnl`` and ``financing``).  A number "
        "(in [0, 1)) for every short; a Series or dict ticker -> rate; or a frame dates x tickers of "
        "rates in [0, 10], each in force from its date (NaN keeps the rate above it).  A "
        "ticker the weights short must have a rate from its first short on, else the run "
        "is refused (fill the frame: ``frame.fillna(0.005)``).",
        "annual borrow fee on the shorts' market value (0.005 = 0.5 % a year)",
        _financing.check_borrow_fee, none="none: shorts cost nothing to borrow", cli=float,
        metavar="RATE", text=_financing.describe_rate),
    Option(
        "dividends", None, "DataFrame or None",
        "Cash per share (ex-dates x tickers; NaN or 0: none), for prices that are not "
        "adjusted for dividends.  On the ex-date's bar, before it trades, a holding receives "
        "(a short pays) its shares times the dividend, its shares being its value at the "
        "previous bar's close over that close; booked to its trade record.  "
        "``read_prices(..., adjust=False)`` returns a ``\"dividends\"`` frame inferred from "
        "Close and Adj Close, which a mapping of prices passes on.  Refused with prices "
        "``read_prices`` adjusted (they would count twice).  Stops and take-profits still "
        "see the price fall on the ex-date: they are price orders.",
        "CSV/Parquet file with the dividends, cash per share: columns date,ticker,dividend "
        "or dates x tickers",
        _financing.check_dividends, none="none", metavar="FILE",
        text=_financing.describe_dividends),
    Option(
        "day_count", 360, "{360, 365}",
        "Days in a year of interest and borrow fees: 360 (money-market convention of the "
        "US dollar and the euro) or 365 (sterling, and a plain calendar year).",
        "days a year of interest and borrow fees: 360 or 365",
        _financing.check_day_count, cli=int, metavar="DAYS"),
    Option(
        "max_gross", 1.0, "float",
        "Largest gross weight (sum of absolute weights) a rebalance holds, in {bounds}: a "
        "row above it is scaled down to it, a row up to it is held as given.  2.0 runs a "
        "100/100 market-neutral book at full size; above 1 the book holds more than its "
        "equity (negative cash on the long side, paying ``cash_rate``).",
        "largest gross weight held (2 = a 100/100 book at full size)",
        None, bounds=Bounds(0.0, 10.0, low_open=True), example=2.0, cli=float,
        metavar="GROSS", prepare=True),
    Option(
        "band", None, "float or None",
        "No-trade band, an absolute weight in {bounds} (0.02 = 2 percentage points): at a "
        "rebalance a held name whose weight is within it of its target is left as it is "
        "(no costs; its trade record goes on, even with ``split_trades_on_rebalance``); "
        "names outside it are traded to the target.  Entries, exits and side flips always "
        "trade.  A band as wide as every target would never resize a held name: warned of.",
        "no-trade band: leave a name alone at a rebalance when its weight is within this "
        "of its target",
        None, bounds=Bounds(0.0, 1.0, high_open=True), example=0.02, none="off",
        cli=float, metavar="WEIGHT"),
    Option(
        "min_trade", None, "float or None",
        "Smallest resize traded, a fraction of equity in {bounds}: a smaller one is skipped "
        "like a name within the band.  Entries, exits and flips always trade.",
        "smallest resize traded, as a fraction of equity",
        None, bounds=Bounds(0.0, 1.0, high_open=True), example=0.001, none="off",
        cli=float, metavar="FRACTION"),
    Option(
        "capital", None, "float or None",
        "Starting capital in money: with it every target position is rounded toward zero "
        "to whole lots of ``lot`` shares at the trading price of its rebalance (a holding "
        "whose target rounds to the lots it holds is not traded; the lots bought first "
        "leave room for their fee, which is then paid from cash), so positions are whole "
        "lots and rounding never takes cash below what the targets would; the trade table "
        "gains ``shares``.",
        "starting capital in money: trade whole lots of --lot shares",
        lambda value: None if value is None else check_real(
            value, "capital", Bounds(0.0, low_open=True), what="an amount of money"),
        none="none: positions are fractions of equity, not shares", cli=float,
        metavar="MONEY"),
    Option(
        "lot", 1, "int",
        "Shares per lot for ``capital`` (100 for round lots).  A capital that cannot buy "
        "one lot of any target is refused.",
        "shares per lot (with --capital)",
        lambda value: check_whole(value, "lot", Bounds(1), unit="shares"), cli=int,
        metavar="SHARES"),
    Option(
        "slippage", None, "float, Series, DataFrame or None",
        "Fraction of the traded value lost on every trade, in [0, 1): a number for every "
        "name, a Series per ticker, or a frame of dates x tickers (each row in force on the "
        "bars after its date, so a trade pays what was known at its signal bar).  Booked as "
        "the fee is: out of the position on a buy, out of the proceeds on a sale.",
        "fraction of the traded value lost on every trade (0.0005 = 5 bp)",
        _execution.check_cost("slippage"), none="none", cli=float, metavar="FRACTION",
        text=_execution.describe_cost),
    Option(
        "spread", None, "float, Series, DataFrame, 'edge' or None",
        "Full bid-ask spread as a fraction of price, half of it paid on every trade: a "
        "number, a Series per ticker, a frame of dates x tickers, or ``'edge'``: estimated per "
        "name from open, high, low and close over the ``spread_window`` bars ending at the "
        "signal bar (the EDGE estimator of Ardia, Guidotti and Kroencke, 2024; a negative "
        "estimate counts as 0).",
        "full bid-ask spread as a fraction of price, half paid per trade; 'edge' estimates it "
        "from open/high/low/close",
        _execution.check_cost("spread", edge=True), none="none",
        cli=_execution.cost_argument, metavar="FRACTION|edge", text=_execution.describe_cost),
    Option(
        "spread_window", 21, "int",
        "Bars of each EDGE spread estimate (``spread='edge'``), ending at the signal bar.",
        "bars of each EDGE spread estimate",
        lambda value: check_whole(value, "spread_window", Bounds(2), unit="bars"), cli=int,
        metavar="BARS"),
    Option(
        "impact", None, "float or None",
        "Market impact coefficient Y of I = Y x sigma x (Q / ADV) ** impact_exponent: a "
        "trade of participation p (money traded over the name's money ADV) pays the average "
        "cost over its size, Y x sigma x p ** delta / (1 + delta) of its value, sigma being "
        "the daily volatility of close-to-close returns.  0.5 to 1 is the range measured on "
        "equities; treat the results as stress estimates and sweep it.  Needs ``capital`` and "
        "volume.",
        "market impact coefficient Y of Y x sigma x participation^delta (needs --capital and "
        "volume)",
        lambda value: None if value is None else check_real(
            value, "impact", Bounds(0.0), what="a coefficient (0.5 to 1 is usual)"),
        none="none", cli=float, metavar="Y"),
    Option(
        "impact_exponent", 0.5, "float",
        "delta of the impact law, in (0, 2]: 0.5 is the square-root law, 0.6 the estimate of "
        "Almgren et al. (2005), 1 linear.",
        "exponent delta of the impact law (0.5: square root, 1: linear)",
        lambda value: check_real(value, "impact_exponent", Bounds(0.0, 2.0, low_open=True),
                                 what="an exponent"), cli=float, metavar="DELTA"),
    Option(
        "adv_window", 20, "int",
        "Bars of the money ADV (mean close x volume), ending at the signal bar, never the "
        "trade bar; fewer at the start of the data (warned).",
        "bars of the average daily money volume, ending at the signal bar",
        lambda value: check_whole(value, "adv_window", Bounds(1), unit="bars"), cli=int,
        metavar="BARS"),
    Option(
        "vol_window", 20, "int",
        "Returns of the volatility sigma of ``impact`` (standard deviation of close-to-close "
        "returns), ending at the signal bar.",
        "close-to-close returns of the impact's volatility, ending at the signal bar",
        lambda value: check_whole(value, "vol_window", Bounds(2), unit="returns"), cli=int,
        metavar="BARS"),
    Option(
        "max_participation", None, "float or None",
        "Largest fraction of its money ADV one name may trade on one bar, in {bounds}: a "
        "larger trade fills up to it, the rest as ``unfilled`` says.  A name without volume "
        "up to its signal bar does not trade (warned).  Stops are capped only with "
        "``cap_exits``; delistings never.  Needs ``capital`` and volume.",
        "largest fraction of a name's money ADV traded on one bar (needs --capital and volume)",
        None, bounds=Bounds(0.0, 1.0, low_open=True), example=0.1, none="no cap",
        cli=float, metavar="FRACTION"),
    Option(
        "unfilled", "carry", "{'carry', 'cancel'}",
        "What the cap leaves unfilled: ``'carry'`` keeps the target in force, and later bars "
        "trade toward it under the same cap until it is reached, a newer weight row replaces "
        "it, or the name stops trading; ``'cancel'`` drops the rest until the next "
        "rebalance.  ``result.shortfall`` shows what is missing.",
        "what the cap leaves unfilled: carry to later bars or cancel",
        _choice("unfilled", ("carry", "cancel")), choices=("carry", "cancel")),
    Option(
        "cap_exits", False, "bool",
        "Cap stops, take-profits and trailing exits by ``max_participation`` too (the rest is "
        "carried) instead of filling them in full.",
        "cap stops and take-profits by --max-participation too",
        _flag("cap_exits"), cli=bool),
)
BY_NAME: Dict[str, Option] = {o.name: o for o in OPTIONS}
# The keywords of ``inputs.prepare``, in table order.
PREPARE: Tuple[str, ...] = tuple(o.name for o in OPTIONS if o.prepare)


def prepare_options(settings: Mapping[str, Any], given: Mapping[str, Any]) -> Dict[str, Any]:
    """The keywords of ``inputs.prepare`` for a run: each option as checked, or as given
    where the check only copies it (the calendar and the delistings are checked with the
    data, and their messages show what the caller passed)."""
    return {name: given[name] if BY_NAME[name].check is _as_given else settings[name]
            for name in PREPARE}


def option_names() -> Tuple[str, ...]:
    """The keywords of ``orvane.backtest`` after ``weights`` and ``prices``, in order."""
    return tuple(BY_NAME)


# Costs above this are almost always a percentage typed as a number.
_COST_WARNING = 0.02
# A sale must return something: fee and tax each in [0, 1), and their sum below 1.
_COST = Bounds(0.0, 1.0, high_open=True)


def _costs(fee: Any, tax: Any) -> Tuple[float, float]:
    fee = check_fraction(fee, "fee", _COST, example=0.001, default=None)
    tax = check_fraction(tax, "tax", _COST, example=0.001, default=None)
    if fee is None or tax is None:  # None has no meaning for costs: check_options refused it
        raise TypeError("fee and tax must be fractions, got None")
    if fee + tax >= 1:
        raise ValueError(f"fee + tax must be below 1 (fractions: 0.001 means 0.1 %), "
                         f"got fee={fee!r}, tax={tax!r}")
    return fee, tax


def _window(window: Any, step: Any) -> Tuple[int, int]:
    """Look-ahead window (bars, 0 is off) and its sampling step (bars, at least 1)."""
    bars = check_whole(window, "window", Bounds(0), unit="bars", note="0 is off", int32=True)
    every = check_whole(step, "window_step", Bounds(1), unit="bars", int32=True)
    return bars, every


def check_options(given: Mapping[str, Any]) -> Tuple[Dict[str, Any], Dict[str, Any], List[str]]:
    """(settings, core keywords, warnings) from the user's options.

    ``settings`` keeps each option as given where None has a meaning of its own (it reads
    better than the number standing for it) and as checked otherwise; ``core`` maps the
    engine's keywords to checked values; ``warnings`` lists values that are valid but
    unusual enough to be a slip.
    """
    for name, value in given.items():
        if value is None and BY_NAME[name].none is None:
            default = BY_NAME[name].default
            raise TypeError(f"{name} must be {BY_NAME[name].kind} (default {default!r}), got None")
    checked = {name: BY_NAME[name].checked(value) for name, value in given.items()}
    checked["fee"], checked["tax"] = _costs(checked["fee"], checked["tax"])
    checked["window"], checked["window_step"] = _window(checked["window"],
                                                        checked["window_step"])
    if checked["lot"] != 1 and checked["capital"] is None:
        raise ValueError(f"lot={checked['lot']} needs capital: whole lots are counted in "
                         "money, e.g. capital=100000")
    if checked["capital"] is not None and not math.isfinite(checked["lot"] / checked["capital"]):
        # The engine counts lots as lot / capital: beyond a float, no lot can be sized.
        lot = checked["lot"]
        raise ValueError(f"capital must be an amount of money that lot={lot} "
                         f"share{'s' if lot != 1 else ''} can be counted in (lot / capital "
                         f"finite), got {checked['capital']!r}")
    settings = {name: given[name] if given[name] is None and BY_NAME[name].none else value
                for name, value in checked.items()}
    core = {o.core: checked[o.name] for o in OPTIONS if o.core is not None}
    notes = []
    take = checked["take_profit"]
    if math.isfinite(take) and take >= 1:
        notes.append(f"take_profit={take:g} means +{take * 100:g} %: a position is closed "
                     f"once its price has moved {take * 100:g} % in its favour")
    for name in ("fee", "tax"):
        if checked[name] > _COST_WARNING:
            notes.append(f"{name}={checked[name]:g} is {checked[name] * 100:g} % of every trade")
    return settings, core, notes


def book_controls(settings: Mapping[str, Any]) -> Optional[Dict[str, float]]:
    """The engine's book controls of a run's settings, or None when they are all off."""
    from orvane._native import BOOK_CONTROLS

    capital = settings.get("capital")
    controls = {"max_gross": float(settings.get("max_gross", 1.0)),
                "band": float(settings.get("band") or 0.0),
                "min_trade": float(settings.get("min_trade") or 0.0),
                # The engine's lot is money at price 1: shares per lot over the capital.
                "lot": settings.get("lot", 1) / capital if capital else 0.0}
    if set(controls) != set(BOOK_CONTROLS):
        raise RuntimeError(f"the engine's book controls are {BOOK_CONTROLS}, the front sets "
                           f"{tuple(controls)}: rebuild orvane")
    off = {"max_gross": 1.0, "band": 0.0, "min_trade": 0.0, "lot": 0.0}
    return None if controls == off else controls


def setting_text(name: str, value: Any) -> str:
    """A setting as the report shows it: None and infinite distances in words."""
    option = BY_NAME.get(name)
    if value is None:
        return option.none if option is not None and option.none else "none"
    if option is not None and option.text is not None:
        return option.text(value)
    if isinstance(value, (float, np.floating)) and math.isinf(value):
        return "off"
    if isinstance(value, (pd.Series, dict)):
        return f"{len(value)} tickers"
    if isinstance(value, (pd.DataFrame, pd.Index, np.ndarray, list, tuple)):
        return f"{len(value)} values"
    return str(value)


def parameters_doc(indent: str = "    ") -> str:
    """The numpydoc entries of every option, for ``backtest``'s docstring."""
    entries = []
    for o in OPTIONS:
        text = o.described() + (f"  None: {o.none}." if o.none else "")
        body = textwrap.fill(text, width=88, initial_indent=indent * 2,
                             subsequent_indent=indent * 2)
        default = f"\"{o.default}\"" if isinstance(o.default, str) else repr(o.default)
        entries.append(f"{indent}{o.name} : {o.kind}, default {default}\n{body}")
    return "\n".join(entries)
