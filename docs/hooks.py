"""MkDocs hook: the parts of the site written from the installed package at build time,
so that they cannot drift from it.

A page asks for one with a marker line, ``<!-- orvane: NAME -->``:

- ``statistics``: every statistic of ``orvane.stats._table.TABLE`` with its formula, read
  from the docstrings of ``orvane.stats``;
- ``cli-help``: every option of ``python -m orvane run``, from the command line's parser;
- ``core-switches``: the docstrings of the native core's entry point and opt-in switches.
"""

from __future__ import annotations

import inspect
import re
from typing import Callable, Dict, List

MARKER = re.compile(r"^<!-- orvane: ([a-z-]+) -->$", re.M)


def _text(doc: str) -> str:
    """A docstring's paragraph as one Markdown table cell: code spans kept, and the
    formulas' ``*`` and ``_`` outside them escaped (``m2 ** 1.5`` is not bold)."""
    doc = " ".join(re.sub(r"``([^`]+)``", r"`\1`", doc).split())
    parts = doc.split("`")
    for i in range(0, len(parts), 2):
        parts[i] = re.sub(r"([*_])", r"\\\1", parts[i])
    return "`".join(parts).replace("|", r"\|")


def _first_paragraph(func: Callable) -> str:
    return _text(inspect.getdoc(func).split("\n\n")[0])


def _items(func: Callable) -> Dict[str, str]:
    """The ``- a, b = formula`` / ``- a: formula`` items of a docstring, by name."""
    found: Dict[str, str] = {}
    for item in re.split(r"\n(?=- )", inspect.getdoc(func)):
        m = re.match(r"- ([a-z0-9_*, ]+?)\s*(?:=|:)\s(.*)", item, re.S)
        if not m:
            continue
        # "- a: text; b: text" documents two names in one item.
        pairs = re.split(r";\s*([a-z_]+):\s", m.group(2))
        for name in m.group(1).split(","):
            found[name.strip()] = _text(pairs[0])
        for name, text in zip(pairs[1::2], pairs[2::2]):
            found[name] = _text(text)
    return found


def statistics() -> str:
    from orvane import stats
    from orvane.stats import _calendar, _summary, _table

    # Each statistic's formula: the docstring of the function that computes it, or the
    # item that names it in a docstring listing several.
    functions = {
        "total_return": stats.total_return, "cagr": stats.cagr,
        "annual_volatility": stats.annual_volatility, "sharpe": stats.sharpe_ratio,
        "sortino": stats.sortino_ratio, "probabilistic_sharpe": stats.probabilistic_sharpe_ratio,
        "max_drawdown": stats.max_drawdown, "max_drawdown_peak": stats.max_drawdown,
        "max_drawdown_trough": stats.max_drawdown, "max_drawdown_recovery": stats.max_drawdown,
        "calmar": stats.calmar_ratio, "skew": stats.skewness, "kurtosis": stats.kurtosis,
        "var_95": stats.value_at_risk, "cvar_95": stats.conditional_value_at_risk,
        "alpha": stats.alpha, "beta": stats.beta, "correlation": stats.correlation,
        "tracking_error": stats.tracking_error, "information_ratio": stats.information_ratio,
        "up_capture": stats.capture_ratio, "down_capture": stats.capture_ratio,
        "benchmark_total_return": stats.benchmark_stats, "benchmark_cagr": stats.benchmark_stats,
        "benchmark_max_drawdown": stats.benchmark_stats,
        "turnover": stats.turnover, "time_in_market": stats.time_in_market,
        "summary": stats.summary,
    }
    for name in ("best_day", "worst_day", "best_month", "worst_month", "best_year", "worst_year"):
        functions[name] = _calendar.extremes
    formulas = {name: _first_paragraph(f) for name, f in functions.items()}
    for func in (stats.trade_stats, _summary._book_stats, _summary._financing_stats,
                 _summary._execution_stats):
        for key, text in _items(func).items():
            if key.endswith("_*"):   # avg_mae_*: every statistic starting so
                for s in _table.TABLE:
                    if s.name.startswith(key[:-1]):
                        formulas.setdefault(s.name, text)
            else:
                formulas.setdefault(key, text)
    formulas.setdefault("trades", "Number of trade records, open ones included: one per "
                        "position and rebalance segment.")
    formulas.setdefault("start", "First live bar: the signal bar of the first weight row "
                        "that holds a position.")
    formulas.setdefault("end", "Last bar of the result: the last price date, or the bar a "
                        "ruined book ends on.")
    formulas.setdefault("ruined_on", "The bar on which the equity reached 0 or below; only "
                        "for a ruined book.")
    missing = [s.name for s in _table.TABLE if s.name not in formulas]
    if missing:   # a new statistic without a documented formula fails the build
        raise ValueError(f"no formula for the statistics {missing}: document them in orvane.stats")

    better = {True: "higher", False: "lower", None: "neither"}
    out: List[str] = []
    for group in dict.fromkeys(s.group for s in _table.TABLE):
        out += [f"### {group}", ""]
        if group in _table.GROUP_NOTES:
            out += [_table.GROUP_NOTES[group][0].upper() + _table.GROUP_NOTES[group][1:] + ".", ""]
        out += ["| statistic | formula and convention |", "|---|---|"]
        before = None
        for s in _table.TABLE:
            if s.group != group:
                continue
            # Rows read from one docstring (the drawdown's dates, best and worst periods)
            # say it once.
            formula = formulas[s.name]
            shown = f"As {before.label.lower()}." if before and formulas[before.name] == formula else formula
            if not shown.startswith("As "):
                before = s
            out.append(f"| {s.label}<br>`{s.name}`<br>better: {better[s.better]} | {shown} |")
        out.append("")
    return "\n".join(out)


def cli_help() -> str:
    from orvane.cli import build_parser

    parser = build_parser()
    run = next(a for a in parser._actions if a.choices and "run" in a.choices).choices["run"]
    out = [f"`{run.prog}`: {run.description or ''}".rstrip(": "), "",
           "| option | what it does |", "|---|---|"]
    for action in run._actions:
        if not action.option_strings:
            continue
        flags = ", ".join(f"`{flag}`" for flag in action.option_strings)
        if action.metavar or action.nargs != 0:
            flags += f" `{action.metavar or action.dest.upper()}`"
        text = (action.help or "") % {**vars(action), "prog": run.prog}
        out.append(f"| {flags} | {_text(text)} |")
    return "\n".join(out)


def core_switches() -> str:
    from orvane.core import tradeloom

    out: List[str] = []
    for name in ("backtest_", "record_ledger", "get_ledger", "set_financing",
                 "set_book_controls", "record_arrays", "get_trade_arrays"):
        doc = getattr(tradeloom, name).__doc__
        signature, _, body = doc.partition("\n--\n\n")
        out += [f"### `{name}`", "", "```text", signature, "", body.rstrip(), "```", ""]
    return "\n".join(out)


WRITERS = {"statistics": statistics, "cli-help": cli_help, "core-switches": core_switches}


def on_page_markdown(markdown: str, **kwargs: object) -> str:
    return MARKER.sub(lambda m: WRITERS[m.group(1)](), markdown)
