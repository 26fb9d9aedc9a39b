"""The command line: the demo backtest, or ``run`` on your own files (``python -m orvane``
and the installed ``orvane`` command both land in ``main``).

The demo needs no data and no network: it backtests the seeded synthetic market with the
momentum strategy of ``orvane.datasets``, prints the summary, the last trades and the next
actions, and writes an HTML report.  The backtest options come from ``orvane._params``.
"""

from __future__ import annotations

import argparse
import functools
import os
import pathlib
import sys
import textwrap
import time
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple, TypeVar

import pandas as pd

from orvane import _common, _params, _records
from orvane import io as reader
from orvane.report import REPORT_NAME

T = TypeVar("T")

SHOWN_TRADES = 10

# The demo: a few hundred stocks over ten years, monthly long/short momentum
# with every exit rule on and a look-ahead window, so each part of the engine runs.
DEMO_MARKET = {"stocks": 300, "years": 10, "seed": 0, "trend": 0.2}
DEMO_STRATEGY: Dict[str, Any] = {"lookback": 126, "skip": 21, "top": 20, "bottom": 20, "rebalance": "M"}
# What the demo book costs as it grows: square-root impact, a tenth of each name's
# money volume a day at most, a spread of 10 bp; run at the capacity curve's capitals.
DEMO_CAPACITY: Dict[str, Any] = {"impact": 0.7, "max_participation": 0.1, "spread": 0.001}
DEMO_SETTINGS: Dict[str, Any] = {
    "stop_loss": 0.10,
    "take_profit": 0.30,
    "trailing_stop": 0.08,
    "trailing_activation": 0.05,
    "window": 20,
    "window_step": 5,
}

class InputError(Exception):
    """A problem with the user's files or options: one line, exit status 2."""


def _add_backtest_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("backtest parameters (fractions: 0.1 = 10 %)")
    for option in _params.OPTIONS:
        # argparse formats help with %: a literal percent sign is written twice.
        text = option.help.replace("%", "%%")
        if option.cli is bool:
            action = group.add_argument(option.flag, dest=option.name, default=option.default,
                                        action=argparse.BooleanOptionalAction)
            # Set after creation: Python 3.9/3.10 would append its own "(default: True)".
            action.help = f"{text} (default: {'on' if option.default else 'off'})"
            continue
        shown = (option.none or "none").replace("%", "%%") if option.default is None else "%(default)s"
        group.add_argument(option.flag, dest=option.name, type=option.cli, default=option.default,
                           choices=option.choices, metavar=None if option.choices else option.metavar,
                           help=f"{text} (default: {shown})")


def build_parser(prog: str = "python -m orvane") -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Without a command: backtest the bundled synthetic market (monthly long/short "
                    "momentum with stops) and write an HTML report. With 'run': backtest your "
                    "own weights and prices.",
    )
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("."), metavar="DIR",
                        help=f"folder for the demo's report {REPORT_NAME} (default: the current folder)")
    parser.add_argument("--stocks", type=int, default=DEMO_MARKET["stocks"],
                        help="demo market: number of stocks (default: %(default)s)")
    parser.add_argument("--years", type=int, default=DEMO_MARKET["years"],
                        help="demo market: years of business days (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=DEMO_MARKET["seed"],
                        help="demo market: random seed (default: %(default)s)")
    parser.add_argument("--no-report", action="store_true", help="do not write the HTML report")
    commands = parser.add_subparsers(dest="command", metavar="{run,reconcile,trials}")
    trials = commands.add_parser(
        "trials", help="summarise a trial register",
        description="Summarise a trial register (orvane.trials): its trials by strategy, "
                    "market and week, the best Sharpe ratio recorded and its deflated value "
                    "against every trial and against the effective ones.")
    trials.add_argument("file", type=pathlib.Path, metavar="FILE", help="the register's file")
    run = commands.add_parser(
        "run", help="backtest weights and prices read from CSV or Parquet files",
        description="Backtest weights and prices from CSV or Parquet files, wide or long, read "
                    "as orvane.read_weights and orvane.read_prices read them (their help lists "
                    "the layouts); prices may also be one wide file, with --open, --high and "
                    "--low beside it. Dates are YYYY-MM-DD, yyyymmdd, or DD/MM/YYYY and "
                    "MM/DD/YYYY when their order is clear (see --dayfirst). Writes the equity, "
                    "trades, actions and stats files and the HTML report to --out, then prints "
                    "the statistics and the next actions.",
    )
    files = _add_file_options(run, "orvane-out")
    files.add_argument("--register", type=pathlib.Path, default=None, metavar="FILE",
                       help="record this run in a trial register (created if absent), so the "
                            "deflated Sharpe of later sweeps counts it")
    _add_backtest_options(run)
    live = commands.add_parser(
        "reconcile", help="split a live book's P&L gap to the backtest into its causes",
        description="Backtest the weights on the prices at --capital (with the backtest "
                    "parameters the live orders came from), match the book's fills from "
                    "--fills with the run's own, and split live P&L - backtest P&L into price, "
                    "timing, missed, unplanned, costs and carry (orvane.reconcile). Writes the "
                    "tables and the HTML page to --out and prints the totals.",
    )
    files = _add_file_options(live, "orvane-reconcile")
    files.add_argument("--fills", type=pathlib.Path, required=True, metavar="FILE",
                       help="the book's fills, as orvane.read_fills reads them: date (or time), "
                            "ticker, shares (signed, or side and quantity), price, and fee and "
                            "tax when paid")
    files.add_argument("--positions", type=pathlib.Path, default=None, metavar="FILE",
                       help="the book's shares per ticker at the end (columns ticker, shares); "
                            "by default what its fills add up to, from a flat start")
    files.add_argument("--income", type=float, default=None, metavar="MONEY",
                       help="money the book earned beside its fills (interest, borrow fees as "
                            "negative, dividends), against the run's financing")
    _add_backtest_options(live)
    return parser


def _add_file_options(command: argparse.ArgumentParser, out: str) -> Any:
    """The prices and weights files a command backtests, and where it writes."""
    files = command.add_argument_group("files")
    files.add_argument("--prices", type=pathlib.Path, required=True, metavar="PATH",
                       help="prices: a wide file (one price per ticker, used for trading and "
                            "closing), or files as orvane.read_prices reads them: one long file, "
                            "or per-ticker files as a folder or a quoted glob pattern")
    files.add_argument("--weights", type=pathlib.Path, required=True, metavar="PATH",
                       help="target weights per signal date, as orvane.read_weights reads them: a "
                            "wide or long (date, ticker, weight) file, or a folder or quoted glob "
                            "pattern of them; fractions of the portfolio, negative for shorts")
    for field in ("open", "high", "low"):
        files.add_argument(f"--{field}", type=pathlib.Path, default=None, metavar="FILE",
                           help=f"wide file of {field} prices (with wide --prices as the close)")
    files.add_argument("--out", type=pathlib.Path, default=pathlib.Path(out), metavar="DIR",
                       help="output folder (default: %(default)s)")
    order = files.add_mutually_exclusive_group()
    order.add_argument("--dayfirst", dest="dayfirst", action="store_const", const=True, default=None,
                       help="read dates such as 03/04/2021 day first (3 April); without this "
                            "or --monthfirst, files whose dates all read both ways are refused "
                            "(YYYY-MM-DD and yyyymmdd dates need neither)")
    order.add_argument("--monthfirst", dest="dayfirst", action="store_const", const=False,
                       help="read dates such as 03/04/2021 month first (4 March)")
    adjust = files.add_argument("--adjust", action=argparse.BooleanOptionalAction, default=True)
    adjust.help = ("with an Adj Close column in the price files, trade on adjusted prices: the "
                   "close becomes adj close and open, high and low are scaled by adj close / "
                   "close (default: on)")
    files.add_argument("--no-report", action="store_true", help="do not write the HTML report")
    return files


# ---------------------------------------------------------------- reading files

def _read(read: Callable[[], T]) -> T:
    """A reader's result, or its error as one line (with the date advice in this tool's flags)."""
    try:
        return read()
    except (ValueError, ImportError, OSError) as exc:
        if isinstance(exc, reader.AmbiguousDatesError):
            exc.fix = "pass --dayfirst or --monthfirst"
        raise InputError(_first_line(exc)) from None


def _files(path: pathlib.Path, option: str) -> List[pathlib.Path]:
    """A file, a folder or a glob pattern (quoted, so that the shell leaves it alone)."""
    try:
        return reader.data_files(str(path))
    except (ValueError, OSError) as exc:
        raise InputError(f"{option}: {_first_line(exc)}") from None


def load_weights(path: pathlib.Path, dayfirst: Optional[bool] = None) -> pd.DataFrame:
    files = _files(path, "--weights")
    return _read(lambda: reader.read_weights(files, dayfirst=dayfirst))


def load_prices(path: pathlib.Path, extra: Dict[str, Optional[pathlib.Path]],
                dayfirst: Optional[bool] = None, adjust: bool = True) -> Any:
    """Prices for orvane.backtest: a mapping of wide frames, or one wide frame.

    Files of bars (one per ticker, or long) are read as ``orvane.read_prices`` reads them;
    a wide file is one price per ticker, with --open, --high and --low beside it.
    """
    given = [f"--{name}" for name, p in extra.items() if p is not None]
    if path.is_file():
        prices = _read(lambda: reader.read_price_file(path, adjust=adjust, dayfirst=dayfirst))
    else:
        files = _files(path, "--prices")
        prices = _read(lambda: reader.read_prices(files, adjust=adjust, dayfirst=dayfirst))
    if isinstance(prices, pd.DataFrame):
        fields = {name: _read(functools.partial(reader.read_wide, p, dayfirst=dayfirst))
                  for name, p in extra.items() if p is not None}
        return {**fields, "close": prices} if fields else prices
    if given:
        raise InputError(f"drop {', '.join(given)}: {path} carries its own open, high and low "
                         "columns (those options go with a wide --prices file)")
    return prices


def load_delistings(value: Optional[str], dayfirst: Optional[bool] = None) -> Any:
    if value is None or value == "infer":
        return value
    path = pathlib.Path(value)
    if not path.is_file():
        raise InputError(f"delistings file {path} does not exist")
    return _read(lambda: reader.read_delistings(path, dayfirst=dayfirst))


def load_dividends(value: Optional[str], dayfirst: Optional[bool] = None) -> Any:
    if value is None:
        return None
    path = pathlib.Path(value)
    if not path.is_file():
        raise InputError(f"dividends file {path} does not exist")
    return _read(lambda: reader.read_dividends(path, dayfirst=dayfirst))


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip() or type(exc).__name__
    return text.splitlines()[0]


# ---------------------------------------------------------------- printing

def _print_columns(text: pd.Series, out: TextIO) -> None:
    """Label/value pairs in two columns, to keep the summary on one screen."""
    items = list(text.items())
    half = (len(items) + 1) // 2
    left, right = items[:half], items[half:]
    width = max(len(k) for k, _ in items) + 2
    vwidth = max(len(v) for _, v in items)
    for i, (k, v) in enumerate(left):
        line = f"  {k:<{width}}{v:>{vwidth}}"
        if i < len(right):
            line += f"      {right[i][0]:<{width}}{right[i][1]:>{vwidth}}"
        print(line, file=out)


def print_summary(result: Any, out: Optional[TextIO] = None) -> None:
    from orvane.stats import format_summary

    out = out or sys.stdout
    print("Summary", file=out)
    _print_columns(format_summary(result.stats()), out)


def _demo_capacity(weights: Any, market: Any) -> Any:
    """The demo book's capacity curve, its warnings held back as the run's are."""
    import orvane

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.capacity(weights, market, delistings=market.delistings,
                               **DEMO_CAPACITY, **DEMO_SETTINGS)


def print_capacity(curve: Any, out: Optional[TextIO] = None) -> None:
    """The capacity table: net CAGR, costs and participation by capital."""
    out = out or sys.stdout
    settings = ", ".join(f"{k}={v}" for k, v in DEMO_CAPACITY.items())
    print(f"\nCapacity ({settings}; stress estimates)", file=out)
    table = curve.table
    shown = pd.DataFrame({
        "capital": [f"{c:,.0f}" for c in table.index],
        "net CAGR": table["cagr"].map("{:+.2%}".format),
        "Sharpe": table["sharpe"].map("{:.2f}".format),
        "costs": table["total_costs"].map("{:.1%}".format),
        "impact": table["impact_paid"].map("{:.1%}".format),
        "participation": table["avg_participation"].map("{:.1%}".format),
        "capped": table["capped_trades"].map("{:,.0f}".format),
        "shortfall": table["avg_shortfall"].map("{:.1%}".format),
    })
    print("  " + shown.to_string(index=False).replace("\n", "\n  "), file=out)
    print(f"  net CAGR halves at {_common.money(curve.halves_at)} and reaches 0 at "
          f"{_common.money(curve.zero_at)}; costs in units of the starting capital", file=out)


def print_trades(result: Any, count: int = SHOWN_TRADES, out: Optional[TextIO] = None) -> None:
    out = out or sys.stdout
    trades = result.trades
    shown = trades.sort_values("entry_date", kind="stable").tail(count).iloc[::-1]
    print(f"\nLast {len(shown)} of {len(trades):,} trades (latest entry first)", file=out)
    if shown.empty:
        print("  none", file=out)
        return
    table = pd.DataFrame({
        "ticker": shown["ticker"].astype(str),
        "side": shown["side"],
        "entry": shown["entry_date"].dt.strftime("%Y-%m-%d"),
        "exit": shown["exit_date"].dt.strftime("%Y-%m-%d").fillna("open"),
        "bars": shown["bars_held"].astype(int),
        "weight": shown["weight"].map("{:+.2%}".format),
        "return": shown["return"].map("{:+.2%}".format),
        "exit reason": shown["exit_reason"].astype(str).str.replace("_", " "),
    })
    print("  " + table.to_string(index=False).replace("\n", "\n  "), file=out)


def print_actions(result: Any, out: Optional[TextIO] = None) -> None:
    """The actions to take at the next rebalance; exits already made and holds in one line each."""
    out = out or sys.stdout
    actions = _records.ordered_actions(result.actions)
    codes = actions["code"]
    todo = actions[_records.to_act_on(actions)]
    print(f"\nNext actions ({len(todo)} to act on)", file=out)
    if len(todo):
        table = pd.DataFrame({
            "ticker": todo.index.astype(str),
            "weight now": todo["weight"].map("{:+.2%}".format).to_numpy(),
            "target": todo["target"].map("{:+.2%}".format).to_numpy(),
            "next weight": todo["next_weight"].map("{:+.2%}".format).to_numpy(),
            "action": todo["action"].astype(str).to_numpy(),
            "code": todo["code"].to_numpy(),
        })
        print("  " + table.to_string(index=False).replace("\n", "\n  "), file=out)
    for action in _records.ACTIONS:
        label, mask = action.group, codes == action.code
        if label and mask.any():
            names = ", ".join(map(str, actions.index[mask]))
            print(textwrap.fill(f"{label} ({int(mask.sum())}): {names}", width=100,
                                initial_indent="  ", subsequent_indent="    "), file=out)


def _print_warnings(texts: Sequence[str]) -> None:
    for text in texts:
        print(f"orvane: warning: {text}", file=sys.stderr)


def _shown(path: Any) -> str:
    """A path as text: a name that is not UTF-8 reaches Python with lone surrogates, which
    neither a UTF-8 page nor a UTF-8 terminal takes; they show as replacement marks."""
    return os.fsencode(str(path)).decode("utf-8", "replace")


def _write_report(result: Any, path: pathlib.Path, title: str,
                  capacity: Any = None) -> Optional[pathlib.Path]:
    """The HTML report, or None with a note when matplotlib (the plot extra) is missing."""
    from orvane.report import write_report

    try:
        return write_report(result, path, title=title, capacity=capacity)
    except ImportError as exc:
        print(f"orvane: no report: {_first_line(exc)}", file=sys.stderr)
        return None


# ---------------------------------------------------------------- commands

def _backtest_quietly(weights: Any, prices: Any, **kwargs: Any) -> Any:
    """orvane.backtest with its UserWarnings held back: they are printed as one line each."""
    import orvane

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(weights, prices, **kwargs)


def run_demo(args: argparse.Namespace) -> int:
    from orvane import datasets

    started = time.perf_counter()
    market = datasets.synthetic_market(stocks=args.stocks, years=args.years, seed=args.seed,
                                       trend=DEMO_MARKET["trend"])
    weights = datasets.momentum(market, **DEMO_STRATEGY)
    result = _backtest_quietly(weights, market, delistings=market.delistings, **DEMO_SETTINGS)
    curve = _demo_capacity(weights, market)
    report = None
    if not args.no_report:
        # Before any printing: a reader that stops early (``| head``) must not cost the report.
        try:
            report = _write_report(result, args.out / REPORT_NAME,
                                   "orvane demo: synthetic market, monthly momentum", curve)
        except OSError as exc:
            raise InputError(f"--out: {exc.strerror or _first_line(exc)}") from None
    close = market.close
    print("orvane demo: the bundled synthetic market, offline and seeded")
    print(f"  market    {close.shape[1]} stocks x {close.shape[0]:,} business days, "
          f"{close.index[0]:%Y-%m-%d} to {close.index[-1]:%Y-%m-%d}, seed {args.seed}, "
          f"{int(market.delistings.notna().sum())} delisted")
    print(f"  strategy  monthly momentum: long the top {DEMO_STRATEGY['top']} and short the bottom "
          f"{DEMO_STRATEGY['bottom']} by {DEMO_STRATEGY['lookback']}-day return, skipping the last "
          f"{DEMO_STRATEGY['skip']} days; equal weights, gross 1")
    print("  settings  " + ", ".join(f"{k}={v}" for k, v in DEMO_SETTINGS.items())
          + ", fee and tax at their defaults\n")
    _print_warnings(result.warnings)
    print_summary(result)
    print_capacity(curve)
    print_trades(result)
    print_actions(result)
    if report is not None:
        print(f"\nReport written to {report.resolve()}")
    print(f"Done in {time.perf_counter() - started:.1f} s")
    return 0


def run_trials(args: argparse.Namespace) -> int:
    from orvane import trials

    if not args.file.is_file():
        raise InputError(f"{_shown(args.file)}: no such register")
    try:
        print(trials.summary(args.file).text())
    except ValueError as exc:
        raise InputError(_first_line(exc)) from None
    return 0


def _unused_files(args: argparse.Namespace) -> List[str]:
    """The --open/--high/--low options this run would not read."""
    needed = {"open", "high", "low"} if args.intrabar_exits else {"open"} if args.trade_at == "open" else set()
    return [name for name in ("open", "high", "low") if getattr(args, name) is not None and name not in needed]


def _backtest_files(args: argparse.Namespace, **extra: Any) -> Tuple[Any, List[str]]:
    """The run of the command's files and options, and the notes its reading left."""
    kwargs = {name: getattr(args, name) for name in _params.option_names()}
    if args.out.exists() and not args.out.is_dir():
        raise InputError(f"--out {args.out} is not a folder; name a folder for the results")
    unused = _unused_files(args)
    notes = []
    if unused:
        notes.append(f"{', '.join(f'--{n} {getattr(args, n)}' for n in unused)} not used: open prices "
                     "serve --trade-at open and --intrabar-exits, high and low --intrabar-exits")
    extra_files = {name: None if name in unused else getattr(args, name) for name in ("open", "high", "low")}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", UserWarning)
        weights = load_weights(args.weights, args.dayfirst)
        prices = load_prices(args.prices, extra_files, args.dayfirst, args.adjust)
        kwargs["delistings"] = load_delistings(kwargs.get("delistings"), args.dayfirst)
        kwargs["dividends"] = load_dividends(kwargs.get("dividends"), args.dayfirst)
    notes += [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    try:
        result = _backtest_quietly(weights, prices, **extra, **kwargs)
    except (ValueError, TypeError, KeyError) as exc:
        message = _first_line(exc)
        for name in ("weights", "prices", "delistings", "dividends"):
            if message.startswith(name) and getattr(args, name) not in (None, "infer"):
                message += f" (--{name} {getattr(args, name)})"
                break
        raise InputError(message) from None
    return result, notes


def run_files(args: argparse.Namespace) -> int:
    result, notes = _backtest_files(args, register=args.register)
    # Files first: a reader that stops early (``| head``) must not cost them.
    try:
        saved = result.save(args.out)
        if not args.no_report:
            report = _write_report(result, args.out / REPORT_NAME,
                                   f"orvane run: {_shown(args.weights.name)}")
            if report is not None:
                saved["report"] = report
    except OSError as exc:
        raise InputError(f"--out: {exc.strerror or _first_line(exc)}") from None
    written = sorted(p.name for p in saved.values())
    _print_warnings(notes + list(result.warnings))
    print(f"orvane run: {_shown(args.weights)} on {_shown(args.prices)}\n")
    print_summary(result)
    print_actions(result)
    print(f"\nWrote {', '.join(written)} to {_shown(args.out.resolve())}")
    return 0


def run_reconcile(args: argparse.Namespace) -> int:
    from orvane.reconcile import reconcile

    if args.capital is None:
        raise InputError("reconcile needs --capital, the book's money: the run trades whole "
                         "shares at it, as the book did")
    if not args.fills.is_file():
        raise InputError(f"--fills {_shown(args.fills)}: no such file")
    if args.positions is not None and not args.positions.is_file():
        raise InputError(f"--positions {_shown(args.positions)}: no such file")
    result, notes = _backtest_files(args)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", UserWarning)
        try:
            found = reconcile(result, args.fills, positions=args.positions, income=args.income,
                              dayfirst=args.dayfirst)
        except (ValueError, TypeError) as exc:
            raise InputError(_first_line(exc)) from None
    notes += [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    try:
        saved = [path.name for path in found.save(args.out).values()]
        if not args.no_report:
            try:
                saved.append(found.report(args.out).name)
            except ImportError as exc:
                print(f"orvane: no report: {_first_line(exc)}", file=sys.stderr)
    except OSError as exc:
        raise InputError(f"--out: {exc.strerror or _first_line(exc)}") from None
    _print_warnings(notes + list(result.warnings))
    print(f"orvane reconcile: {_shown(args.fills)} against {_shown(args.weights)} on "
          f"{_shown(args.prices)}\n")
    print(found.text())
    print(f"\nWrote {', '.join(sorted(saved))} to {_shown(args.out.resolve())}")
    return 0


def main(argv: Optional[Sequence[str]] = None, prog: str = "python -m orvane") -> int:
    args = build_parser(prog).parse_args(argv)
    try:
        if args.command == "run":
            return run_files(args)
        if args.command == "trials":
            return run_trials(args)
        if args.command == "reconcile":
            return run_reconcile(args)
        if args.stocks < 2 or args.years < 1:
            raise InputError("--stocks must be at least 2 and --years at least 1")
        return run_demo(args)
    except InputError as exc:
        # The one way out for a mistake in the user's files or options.
        print(f"orvane: error: {exc}", file=sys.stderr)
        return 2


def run_command() -> None:
    """Entry point of ``python -m orvane`` and of the installed ``orvane`` command."""
    try:
        code = main(prog="orvane")
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader left (``| head``); the files are written.  Point stdout at devnull so
        # the interpreter's last flush finds no pipe either, and exit as a process killed by
        # SIGPIPE would.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        code = 128 + 13
    sys.exit(code)
