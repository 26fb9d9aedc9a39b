"""inspect.signature and help() read every Python-callable function of the core
from its docstring, with the documented parameters and defaults, and the type
stubs name the same parameters with the same defaults."""
import ast
import inspect
import math
import pathlib
import pydoc
import sys

import numpy as np
import pytest

from orvane import _kernels
from orvane.core import tidemark, toolkin, tradeloom

REQUIRED = inspect.Parameter.empty
BACKTEST = [(name, REQUIRED) for name in (
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
    "price_columns", "pos_values", "pos_index", "pos_columns", "resample")] + [
    ("fee_ratio", 0.001425), ("tax_ratio", 0.003), ("stop_loss", 1.0), ("take_profit", math.inf),
    ("trail_stop", math.inf), ("trail_stop_activation", 0.0), ("touched_exit", False),
    ("position_limit", 1.0), ("retain_cost_when_rebalance", False), ("stop_trading_next_period", True),
    ("tidemark_window", 0), ("tidemark_window_step", 1), ("periodically_rebalance", True),
    ("delisting_bars", None)]

DOCUMENTED = {
    (tradeloom, "backtest_"): BACKTEST,
    (tradeloom, "get_stock_operations"): [],
    (tradeloom, "normalize_weight"): [("weights", REQUIRED), ("position_limit", REQUIRED)],
    (tradeloom, "get_trade_stocks"): [("pos_columns", REQUIRED), ("price_index", REQUIRED),
                                      ("touched_exit", REQUIRED)],
    (tradeloom, "ioft"): [("v", REQUIRED)],
    (tradeloom, "record_ledger"): [("on", REQUIRED)],
    (tradeloom, "get_ledger"): [],
    (tradeloom, "get_trade_arrays"): [],
    (tradeloom, "set_financing"): [("cash", None), ("rebate", None), ("borrow", None),
                                   ("dividends", None)],
    (tradeloom, "set_book_controls"): [("max_gross", 1.0), ("band", 0.0), ("min_trade", 0.0),
                                       ("lot", 0.0)],
    (tradeloom, "record_arrays"): [("on", REQUIRED)],
    (tradeloom, "run_"): [("switches", REQUIRED), ("args", REQUIRED), ("kwargs", REQUIRED)],
    (tradeloom, "whole_lots"): [(name, REQUIRED) for name in ("target", "held", "price", "lot",
                                                              "fee_ratio")],
    (toolkin, "str_to_bytearray"): [("text", REQUIRED)],
    (_kernels, "positive_finite"): [("values", REQUIRED)],
    (_kernels, "bars_hold"): [(name, REQUIRED) for name in ("close", "open", "high", "low",
                                                            "tolerance")],
    (_kernels, "has_jumps"): [("close", REQUIRED), ("down", REQUIRED), ("up", REQUIRED)],
    (_kernels, "scan_prices"): [(name, REQUIRED) for name in ("close", "open", "high", "low", "tolerance",
                                                             "down", "up")],
    (_kernels, "record_stats"): [(name, REQUIRED) for name in ("money", "ret", "bars_held", "mae",
                                                              "gmfe")],
    (_kernels, "group_records"): [(name, REQUIRED) for name in ("key", "entry", "short", "exit")],
    (_kernels, "holding_sums"): [(name, REQUIRED) for name in ("key", "entry", "short", "exit", "ret",
                                                              "pnl", "weight")],
    (_kernels, "bars_with_open"): [("start", REQUIRED), ("stop", REQUIRED), ("bars", REQUIRED)],
    (_kernels, "same_bytes"): [("a", REQUIRED), ("b", REQUIRED)],
}


# Every other parameter may be given by position or keyword; run_ passes the rest on.
KINDS = {"run_": [inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.VAR_POSITIONAL,
                  inspect.Parameter.VAR_KEYWORD]}


MODULES = (tradeloom, toolkin, tidemark, _kernels)


def callables(module):
    return sorted(name for name, obj in vars(module).items()
                  if inspect.isbuiltin(obj) and obj.__module__ == module.__name__)


def test_every_function_is_listed():
    assert {(m, n) for m in MODULES for n in callables(m)} == set(DOCUMENTED)


@pytest.mark.parametrize("module, name", list(DOCUMENTED), ids=[n for _, n in DOCUMENTED])
def test_signature_has_the_documented_parameters(module, name):
    fn = getattr(module, name)
    params = list(inspect.signature(fn).parameters.values())
    assert [(p.name, p.default) for p in params] == DOCUMENTED[module, name]
    assert [p.kind for p in params] == KINDS.get(
        name, [inspect.Parameter.POSITIONAL_OR_KEYWORD] * len(params))
    text = pydoc.render_doc(fn, renderer=pydoc.plaintext)
    assert f"{name}{inspect.signature(fn)}" in text
    assert len(inspect.getdoc(fn).splitlines()) >= 2  # a description, not the signature alone


def stub_functions(module):
    # Beside the package's Python files (an editable build keeps the binaries elsewhere).
    package, _, name = module.__name__.rpartition(".")
    path = pathlib.Path(sys.modules[package].__file__).with_name(name + ".pyi")
    tree = ast.parse(path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_stubs_match_the_signatures(module):
    stubs = stub_functions(module)
    assert sorted(stubs) == callables(module)
    for name, node in stubs.items():
        params = list(inspect.signature(getattr(module, name)).parameters.values())
        args = node.args.posonlyargs + node.args.args
        rest = [a.arg for a in (node.args.vararg, node.args.kwarg) if a is not None]
        assert [a.arg for a in args] + rest == [p.name for p in params]
        params = params[:len(args)]
        defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
        for p, d in zip(params, defaults):
            assert (d is None) == (p.default is REQUIRED), (name, p.name)
            if d is not None and not (isinstance(d, ast.Constant) and d.value is Ellipsis):
                assert ast.literal_eval(d) == p.default, (name, p.name)


# Each module's public surface: what its documentation gives, and for the engine the
# opt-in switches and the names it publishes for the front to read.
SURFACE = {
    tradeloom: {"backtest_", "get_stock_operations", "normalize_weight", "get_trade_stocks",
                "ioft", "RETAIN_COST_WHEN_REBALANCE", "RESAMPLE", "org_np", "tidemark",
                "datetime",
                "record_ledger", "get_ledger", "set_financing", "set_book_controls",
                "record_arrays", "get_trade_arrays", "run_", "whole_lots",
                "LEDGER_ROWS", "LEDGER_TRADES", "FLOWS", "BOOK_CONTROLS", "COST_KINDS", "EXECUTION",
                "EXECUTION_EVENTS", "LEDGER_FILLS"},
    tidemark: {"trades", "trade_positions", "tidemark", "org_np"},
    toolkin: {"str_to_bytearray"},
}


@pytest.mark.parametrize("module", list(SURFACE), ids=lambda m: m.__name__)
def test_each_native_module_has_exactly_its_public_surface(module):
    assert {n for n in dir(module) if not n.startswith("_")} == SURFACE[module]


def test_the_published_names_are_the_keys_of_what_the_engine_returns():
    from test_engine_reference import ARG_ORDER, KW, market

    m = market([[10.0, 20.0], [11.0, 19.0], [12.0, 18.0]], pos_values=[[0.5, -0.5]])
    _, (trades, _, _, exits), _, ledger = tradeloom.run_(
        {"ledger": True, "arrays": True}, *(m[k] for k in ARG_ORDER),
        **{k: m[k] for k in KW})
    assert list(ledger) == [*tradeloom.LEDGER_ROWS, *tradeloom.LEDGER_TRADES, *tradeloom.LEDGER_FILLS,
                            "unlisted_pnl"]
    assert len(exits) == len(trades) == len(ledger["trade_sid"])
    assert set(tradeloom.FLOWS) < set(tradeloom.LEDGER_ROWS)
    assert tradeloom.BOOK_CONTROLS == tuple(
        inspect.signature(tradeloom.set_book_controls).parameters)
    money = np.array([0.5, -0.25, np.nan])
    assert len(_kernels.record_stats(money, money, money, money, money)) == len(
        _kernels.RECORD_STATS)
    assert len(_kernels.record_stats(money, money, None, None, None)) == 5
